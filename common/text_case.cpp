#include "text_case.h"

#include <utility>

namespace vel {

namespace {

// The same walks for either kind of upper case.
template <char (*Upper)(char)>
std::string UpperText(std::string text) {
  for (char& c : text) c = Upper(c);
  return text;
}

template <char (*Upper)(char)>
bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

}  // namespace

std::string AsciiUpperText(std::string text) { return UpperText<AsciiUpper>(std::move(text)); }

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
  return EqualsNoCase<AsciiUpper>(a, b);
}

char Cp1252Upper(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= 'a' && u <= 'z') return static_cast<char>(u - 0x20);
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return static_cast<char>(u - 0x20);
  switch (u) {
    case 0x9A:
      return static_cast<char>(0x8A);  // s caron
    case 0x9C:
      return static_cast<char>(0x8C);  // oe
    case 0x9E:
      return static_cast<char>(0x8E);  // z caron
    case 0xFF:
      return static_cast<char>(0x9F);  // y diaeresis
    default:
      return c;
  }
}

std::string Cp1252UpperText(const std::string& text) { return UpperText<Cp1252Upper>(text); }

bool EqualsCp1252NoCase(const std::string& a, const std::string& b) {
  return EqualsNoCase<Cp1252Upper>(a, b);
}

}  // namespace vel
