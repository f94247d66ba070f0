// Letter case of single bytes, for the routines that compare without regard to case.
#pragma once

#include <string>
#include <string_view>

namespace vel {

// Upper case of an ASCII letter; every other byte unchanged. Used for file names, which
// are UTF-8 or plain ASCII on this system, and for the words of the protocol.
inline char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
std::string AsciiUpperText(std::string text);
bool EqualsAsciiNoCase(std::string_view a, std::string_view b);

// Upper case in Windows-1252: ASCII letters, the accented letters 0xE0 to 0xFE (but not
// the division sign 0xF7), and the four letters of 0x9A, 0x9C, 0x9E and 0xFF. Used for
// texts that arrive from forms and profiles.
char Cp1252Upper(char c);
std::string Cp1252UpperText(const std::string& text);
bool EqualsCp1252NoCase(const std::string& a, const std::string& b);

}  // namespace vel
