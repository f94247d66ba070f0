// The profile reader and writer on any file content and any section and key names.
// Input: section, "\n", key, "\n", second section, "\n", second key, "\n", file content.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "text_case.h"
#include "vel_proc.h"

using vel::fuzz::Check;

namespace {

std::string TakeLine(std::string& rest) {
  const size_t end = rest.find('\n');
  std::string line = rest.substr(0, end);
  rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
  return line;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool Writable(const std::string& section, const std::string& key) {
  const std::string bad("\r\n\0", 3);
  const std::string trimmedKey = Trim(key);
  return section.find_first_of(bad) == std::string::npos &&
         key.find_first_of(bad) == std::string::npos && section.find(']') == std::string::npos &&
         key.find('=') == std::string::npos && !trimmedKey.empty() && trimmedKey[0] != ';' &&
         trimmedKey[0] != '[';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vel::SetProgramDir(vel::fuzz::ScratchDir());
  std::string rest(reinterpret_cast<const char*>(data), size);
  const std::string section = TakeLine(rest);
  const std::string key = TakeLine(rest);
  const std::string otherSection = TakeLine(rest);
  const std::string otherKey = TakeLine(rest);
  const std::string path = vel::fuzz::ScratchDir() + "VELWEB.INI";
  vel::fuzz::WriteFile(path, rest);

  const std::string value = vel::ReadProfileString(section, key, "<default>", "VELWEB.INI");
  Check(value.size() <= 2047, "values are cut to 2047 characters");
  const std::string otherBefore =
      vel::ReadProfileString(otherSection, otherKey, "<default>", "VELWEB.INI");

  vel::WriteProfileString(section, key, "written", "VELWEB.INI");
  const std::string after = vel::ReadProfileString(section, key, "<default>", "VELWEB.INI");
  if (Writable(section, key)) {
    Check(after == "written", "a written value reads back");
    const bool sameKey = vel::EqualsCp1252NoCase(Trim(section), Trim(otherSection)) &&
                         vel::EqualsCp1252NoCase(Trim(key), Trim(otherKey));
    if (!sameKey) {
      Check(
          vel::ReadProfileString(otherSection, otherKey, "<default>", "VELWEB.INI") == otherBefore,
          "writing one key leaves the others as they were");
    }
  } else {
    Check(after == value, "a refused write changes nothing");
  }
  return 0;
}
