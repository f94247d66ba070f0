// A process of the family that takes the region lock and stops itself while holding it,
// as a program stopped by a debugger or by SIGSTOP would. The tests see what the others
// do meanwhile, then continue it (SIGCONT: it lets the lock go and ends with status 0)
// or kill it (the lock passes to the next waiter).
//
//   VELMAR_INSTANCE=WORD velmar_lock_holder
//
// Prints "locking" just before it asks for the lock and "locked" once it holds it.
#include <signal.h>

#include <cstdio>

#include "region_link.h"

int main() {
  velmar::RegionLink link;
  if (!velmar::JoinRegion(link)) {
    std::fprintf(stderr, "velmar_lock_holder: the region cannot be joined\n");
    return 1;
  }
  std::printf("locking\n");
  std::fflush(stdout);
  {
    velmar::RegionLock lock(link);
    if (!lock) {
      std::fprintf(stderr, "velmar_lock_holder: the lock cannot be taken\n");
      return 1;
    }
    std::printf("locked\n");
    std::fflush(stdout);
    raise(SIGSTOP);
  }
  velmar::LeaveRegion(link);
  return 0;
}
