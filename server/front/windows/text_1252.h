// Text from the language files, the profile and the core is 8-bit Windows-1252; the
// windows show it as QString. Bytes 0x80 to 0x9F are not the Latin-1 control codes
// there (0x80 is the euro sign, 0x93 and 0x94 the curly quotes ...), so a table of our
// own maps them; the five bytes that code page leaves undefined keep their own value.
#pragma once

#include <QString>
#include <string_view>

namespace vel {

QString FromWindows1252(std::string_view bytes);

}  // namespace vel
