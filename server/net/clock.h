// The one clock of the server's time limits, windows and waits: milliseconds that only go
// forward (CLOCK_MONOTONIC), whatever the wall clock does. Rooms that must be tested on a
// clock of their own take a function of this shape instead (the connection table does).
#pragma once

#include <cstdint>

namespace vel {

int64_t NowMs();

// Milliseconds since 1970 (CLOCK_REALTIME): for times that are shown or kept on disk.
int64_t WallMs();

}  // namespace vel
