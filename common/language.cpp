// LoadLanguage and GetText: the numbered texts of the chosen language file.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "file_io.h"
#include "language_files.h"
#include "language_table.h"
#include "profile_keys.h"
#include "text_lines.h"
#include "vel_proc.h"

namespace vel {

namespace {

LanguageTexts& Texts() {
  static LanguageTexts texts;
  return texts;
}

void AddText(LanguageTexts& texts, int32_t number, const std::string& text) {
  if (texts.TextCount >= texts.TextCapacity) {
    texts.TextCapacity += kTextTableStep;
    texts.TextTable.resize(static_cast<size_t>(texts.TextCapacity));
  }
  TextRow& row = texts.TextTable[static_cast<size_t>(texts.TextCount)];
  row.TextNumber = number;
  row.TextStart = static_cast<int32_t>(texts.TextStore.size()) + 1;
  row.TextLength = static_cast<int32_t>(text.size());
  texts.TextStore += text;
  ++texts.TextCount;
}

// Loads one "number=text" line; false when the line holds no text the table can take.
bool LoadLine(LanguageTexts& texts, const std::string& line) {
  if (line.find('=') == std::string::npos) return false;
  std::string separator = "=";
  std::string numberText;
  std::string text;
  try {
    numberText = GetField(line, 0, separator);
    text = GetField(line, 1, separator);
  } catch (const OverflowError&) {
    return false;  // a line too long for 16-bit positions names no usable text
  }
  // Spaces and tabs inside a text's number are ignored ("1 2=" is text 12).
  const int64_t number = RoundHalfEven(LeadingNumber(numberText, NumberBlanks::kAnywhere));
  if (number < std::numeric_limits<int32_t>::min() ||
      number > std::numeric_limits<int32_t>::max()) {
    return false;
  }
  // TextStart is 32-bit: a store that would pass that takes no more texts.
  if (texts.TextStore.size() + text.size() >=
      static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    return false;
  }
  AddText(texts, static_cast<int32_t>(number), text);
  return true;
}

}  // namespace

const LanguageTexts& LoadedLanguage() { return Texts(); }

void ResetLanguage() { Texts() = LanguageTexts(); }

bool LoadLanguage() {
  LanguageTexts& texts = Texts();
  texts = LanguageTexts();
  texts.TextCapacity = kTextTableStep;
  texts.TextTable.resize(static_cast<size_t>(texts.TextCapacity));

  const std::string code = ReadProfileKey(ProfileSetting::kLanguage, "VELWEB.INI");
  if (code.empty()) return false;
  if (!CodeNamesAFile(code)) return false;

  const std::string path = ProgramFile("vel_lang." + code);
  if (!FileExists(path)) return false;
  const auto content = ReadWholeFile(path);
  if (!content) return false;

  for (const std::string& line : SplitTextLines(*content)) LoadLine(texts, line);
  return true;
}

std::string GetText(int32_t number) {
  const LanguageTexts& texts = Texts();
  for (int32_t i = 0; i < texts.TextCount; ++i) {
    const TextRow& row = texts.TextTable[static_cast<size_t>(i)];
    if (row.TextNumber == number) {
      return texts.TextStore.substr(static_cast<size_t>(row.TextStart) - 1,
                                    static_cast<size_t>(row.TextLength));
    }
  }
  return "Invalid Text (" + std::to_string(number) + ")";
}

}  // namespace vel
