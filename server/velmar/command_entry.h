// What every command entry that velweb hands to the alarm server must fit: the limit
// comes from the shared region's layout, the one place it is fixed.
#pragma once

#include <cstddef>

#include "shared_region.h"

namespace vel {

// The longest command entry the alarm server can ever take: its command buffer holds
// kCommandContentMax bytes of entries, each with its terminator byte.
inline constexpr size_t kLargestCommandEntry = velmar::kCommandContentMax - 1;

}  // namespace vel
