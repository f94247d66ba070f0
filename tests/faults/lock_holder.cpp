// A program of the family that takes the region lock and never gives it back: it logs
// to a FIFO nobody reads, and opening that FIFO blocks inside the lock. The fault tests
// kill it with SIGKILL to see that the others go on.
//
//   velmar_lock_holder FIFO
//
// Prints "locking" just before it asks for the lock.
#include <cstdio>

#include "velmar.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: velmar_lock_holder FIFO\n");
    return 2;
  }
  std::printf("locking\n");
  std::fflush(stdout);
  SetSysLogEntry(argv[1], "held");
  return 0;
}
