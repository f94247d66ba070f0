// The 16-bit text positions of the field and decoding routines.
#pragma once

#include <cstdint>

namespace vel {

// The last position (counted from 1) that a 16-bit signed position can hold.
inline constexpr int64_t kLastTextPosition = 32767;

// Throws OverflowError when `position` does not fit a 16-bit signed position.
void CheckTextPosition(int64_t position);

}  // namespace vel
