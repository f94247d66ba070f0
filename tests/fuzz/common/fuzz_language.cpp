// The language loader on any language file, and on any profile naming one.
// Input: a first byte that picks what the rest is (even: the profile, odd: the file).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "language_table.h"
#include "vel_proc.h"

using vel::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string dir = vel::fuzz::ScratchDir();
  vel::SetProgramDir(dir);
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const bool fileFromInput = (data[0] & 1) != 0;
  if (fileFromInput) {
    vel::fuzz::WriteFile(dir + "VELWEB.INI", "[General]\r\nLanguage=001\r\n");
    vel::fuzz::WriteFile(dir + "vel_lang.001", rest);
  } else {
    vel::fuzz::WriteFile(dir + "VELWEB.INI", rest);
    vel::fuzz::WriteFile(dir + "vel_lang.001", "0=English\r\n10=About\r\n");
  }

  vel::ResetLanguage();
  const bool loaded = vel::LoadLanguage();
  if (fileFromInput) Check(loaded, "a present language file always loads");

  const vel::LanguageTexts& table = vel::LoadedLanguage();
  Check(table.TextCount >= 0 && table.TextCount <= table.TextCapacity, "rows fit the table");
  Check(table.TextCapacity % vel::kTextTableStep == 0, "the table grows by 64");
  Check(static_cast<size_t>(table.TextCapacity) == table.TextTable.size(), "capacity is real");
  if (!loaded) Check(table.TextCount == 0, "a failed load adds no rows");
  size_t stored = 0;
  for (int32_t i = 0; i < table.TextCount; ++i) {
    const vel::TextRow& row = table.TextTable[static_cast<size_t>(i)];
    Check(row.TextStart == static_cast<int32_t>(stored) + 1, "rows lie end to end");
    stored += static_cast<size_t>(row.TextLength);
  }
  Check(stored == table.TextStore.size(), "the store holds exactly the rows' texts");

  for (int32_t number : {0, 1, 10, 13, 14, 124, 803, 804, -1}) {
    const std::string text = vel::GetText(number);
    Check(text.find('=') == std::string::npos, "a text holds no =");
    Check(text.find('\r') == std::string::npos, "a text holds no CR");
  }
  return 0;
}
