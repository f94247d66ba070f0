// DecodeFormText and HexToLong: form-encoded values back to the typed bytes.
#include <cstdint>
#include <limits>
#include <string>

#include "text_positions.h"
#include "vel_proc.h"

namespace vel {

namespace {

// The value of a hexadecimal digit in either case, or -1.
int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

int32_t HexToLong(const std::string& digits) {
  int64_t result = 0;
  const size_t length = digits.size();
  for (size_t i = 0; i < length; ++i) {  // i places before the last character
    const int value = DigitValue(digits[length - 1 - i]);
    if (value <= 0) continue;  // a zero or a non-digit adds nothing, whatever its place
    // Eight places and more (16^8) is past 32 bits for any digit but 0.
    if (i >= 8) throw OverflowError("hexadecimal value past 2147483647: " + digits);
    result += static_cast<int64_t>(value) << (4 * i);
    if (result > std::numeric_limits<int32_t>::max()) {
      throw OverflowError("hexadecimal value past 2147483647: " + digits);
    }
  }
  return static_cast<int32_t>(result);
}

std::string DecodeFormText(const std::string& text) {
  // Pluses first, so that an encoded "+" (%2B) survives the second pass.
  std::string copy(text);
  for (char& c : copy) {
    if (c == '+') c = ' ';
  }

  // Escapes. Decoding shortens the copy, so positions are those of the copy as it is.
  std::string result;
  result.reserve(copy.size());
  size_t i = 0;
  while (i < copy.size()) {
    const size_t percent = copy.find('%', i);
    if (percent == std::string::npos) {
      result.append(copy, i, std::string::npos);
      break;
    }
    result.append(copy, i, percent - i);
    // `result` holds what precedes the "%" in the copy being decoded, so the "%" stands
    // at one past its length; the position after it must still be a 16-bit position.
    const auto position = static_cast<int64_t>(result.size()) + 1;
    CheckTextPosition(position + 1);
    const std::string digits = copy.substr(percent + 1, 2);
    result += static_cast<char>(HexToLong(digits));
    i = percent + 1 + digits.size();
  }
  return result;
}

}  // namespace vel
