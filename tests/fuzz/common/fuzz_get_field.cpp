// GetField and GetFieldNoCase on any text, index and separator.
// Input: two bytes of index, one byte of separator length (0 to 3), the separator, the text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "vel_proc.h"

using vel::fuzz::Check;

namespace {

// Every field, in order, while the text is small enough to walk it all.
void CheckFieldsRebuildText(const std::string& text, const std::string& separator) {
  std::string rebuilt;
  for (int16_t i = 0;; ++i) {
    std::string sep = separator;
    const std::string field = vel::GetField(text, i, sep);
    rebuilt += field;
    // Past the last field every result is empty; stop once the text is rebuilt.
    if (rebuilt.size() >= text.size()) break;
    rebuilt += separator;
    Check(i < 2048, "field walk did not end");
  }
  Check(rebuilt == text, "fields joined by the separator give the text back");
}

// The one-walk reader gives, field for field, what the one-by-one calls give, and
// overflows at the same field.
void CheckWalkMatchesCalls(const std::string& text, const std::string& separator, int16_t first) {
  for (const bool ignoreCase : {false, true}) {
    vel::FieldWalk walk(text, separator, ignoreCase, first);
    for (int i = 0; i < 16 && first + i <= INT16_MAX; ++i) {
      std::string sep = separator;
      std::string expected;
      bool expectedOverflow = false;
      try {
        const auto index = static_cast<int16_t>(first + i);
        expected =
            ignoreCase ? vel::GetFieldNoCase(text, index, sep) : vel::GetField(text, index, sep);
      } catch (const vel::OverflowError&) {
        expectedOverflow = true;
      }
      bool overflow = false;
      std::string got;
      try {
        got = walk.Next();
      } catch (const vel::OverflowError&) {
        overflow = true;
      }
      Check(overflow == expectedOverflow, "the walk overflows where the calls do");
      if (overflow) break;
      Check(got == expected, "the walk gives the field the call gives");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const auto index = static_cast<int16_t>(data[0] | (data[1] << 8));
  const size_t separatorLength = data[2] % 4;
  if (size < 3 + separatorLength) return 0;
  const std::string given(reinterpret_cast<const char*>(data) + 3, separatorLength);
  const std::string text(reinterpret_cast<const char*>(data) + 3 + separatorLength,
                         size - 3 - separatorLength);

  for (auto* getField : {&vel::GetField, &vel::GetFieldNoCase}) {
    std::string separator = given;
    try {
      const std::string field = getField(text, index, separator);
      Check(field.size() <= text.size(), "a field is never longer than its text");
      Check(text.find(field) != std::string::npos, "a field is part of its text");
      if (!given.empty()) Check(separator == given, "a given separator stays");
      if (given.empty()) {
        Check(separator.empty() || separator == "\t" || separator == ";",
              "only TAB or ; are detected");
      }
      if (index < 0) Check(field.empty(), "a negative index gives the empty text");
    } catch (const vel::OverflowError&) {
      Check(text.size() >= 32767, "texts up to 32 766 characters never fail");
    }
  }

  if (!given.empty()) CheckWalkMatchesCalls(text, given, index);

  // Separators are found left to right without overlap, so the walk rebuilds the text.
  if (!given.empty() && text.size() <= 512) CheckFieldsRebuildText(text, given);
  return 0;
}
