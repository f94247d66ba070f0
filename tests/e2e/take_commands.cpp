// Takes every pending command entry out of the shared region through the library, as
// the alarm server does, and prints each one as hex on a line of its own, so that a test
// can compare it byte for byte. Joins the region named by VELMAR_INSTANCE.
#include <cstdio>

#include "velmar.h"

int main() {
  char buffer[4096];
  for (int taken = 0; taken < 1000; ++taken) {
    const int16_t length = GetCommandEntry(buffer, sizeof buffer);
    if (length <= 0) break;
    for (int16_t i = 0; i < length; ++i) {
      std::printf("%02x", static_cast<unsigned char>(buffer[i]));
    }
    std::printf("\n");
  }
  return 0;
}
