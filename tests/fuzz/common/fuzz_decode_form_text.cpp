// DecodeFormText and HexToLong on any bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "vel_proc.h"

using vel::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  try {
    const std::string decoded = vel::DecodeFormText(text);
    Check(decoded.size() <= text.size(), "decoding never lengthens");
    if (text.find('%') == std::string::npos) {
      std::string spaced = text;
      for (char& c : spaced) c = c == '+' ? ' ' : c;
      Check(decoded == spaced, "without escapes only pluses change");
    }
    Check(decoded.find('+') == std::string::npos || text.find('%') != std::string::npos,
          "a plus survives only when it was escaped");
  } catch (const vel::OverflowError&) {
    Check(text.size() >= 32767, "texts up to 32 766 characters never fail");
  }

  try {
    const int32_t value = vel::HexToLong(text);
    Check(value >= 0, "hexadecimal values are never negative");
    if (size <= 2) Check(value <= 255, "two digits stay below 256");
  } catch (const vel::OverflowError&) {
    Check(size >= 8, "seven digits always fit");
  }
  return 0;
}
