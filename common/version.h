// The program's version text, the one that velweb shows in its about window and puts in
// place of "[VERSION]", and that velctl and the Debian package carry too.
#pragma once

namespace vel {

inline constexpr const char* kVersionText = "1.0.00";

}  // namespace vel
