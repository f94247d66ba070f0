// The table of loaded language texts behind LoadLanguage and GetText. Internal to the
// module; tests read it to see how the table grows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vel {

// One loaded text: its number and where it lies in TextStore (TextStart counts from 1).
struct TextRow {
  int32_t TextNumber = 0;
  int32_t TextStart = 0;
  int32_t TextLength = 0;
};

struct LanguageTexts {
  std::vector<TextRow> TextTable;  // always TextCapacity rows, TextCount of them filled
  int32_t TextCount = 0;
  int32_t TextCapacity = 0;  // grows by kTextTableStep
  std::string TextStore;     // every loaded text, end to end
};

inline constexpr int32_t kTextTableStep = 64;

const LanguageTexts& LoadedLanguage();

}  // namespace vel
