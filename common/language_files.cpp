#include "language_files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_io.h"
#include "profile_keys.h"
#include "vel_proc.h"

namespace vel {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The whole text is one decimal number: blanks around it, a sign, digits with at most
// one ".", and an exponent ("E" or "D") with digits.
bool ReadsAsNumber(const std::string& text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && IsBlank(text[i])) ++i;
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  bool digits = false;
  while (i < n && IsDigit(text[i])) ++i, digits = true;
  if (i < n && text[i] == '.') {
    ++i;
    while (i < n && IsDigit(text[i])) ++i, digits = true;
  }
  if (!digits) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E' || text[i] == 'd' || text[i] == 'D')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    bool exponentDigits = false;
    while (i < n && IsDigit(text[i])) ++i, exponentDigits = true;
    if (!exponentDigits) return false;
  }
  while (i < n && IsBlank(text[i])) ++i;
  return i == n;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::optional<int16_t> LanguageCodeOf(const std::string& extension) {
  if (!ReadsAsNumber(extension)) return std::nullopt;
  const double value = LeadingNumber(extension);
  if (!std::isfinite(value) || value < -32768.5 || value > 32767.5) return std::nullopt;
  const int64_t code = RoundHalfEven(value);
  if (code < -32768 || code > 32767) return std::nullopt;
  return static_cast<int16_t>(code);
}

std::optional<std::string> LanguageNameIn(const std::string& path) {
  // Read without waiting (no FIFO holds the choice up); a megabyte is no language file.
  const std::optional<std::string> content = ReadWholeFile(path, 1 << 20);
  if (!content) return std::nullopt;
  const std::string& text = *content;
  size_t start = 0;
  for (;;) {
    // One line: up to a CR (and the LF right after it); a LF alone stays in the line.
    const size_t cr = text.find('\r', start);
    const size_t end = cr == std::string::npos ? text.size() : cr;
    if (end - start > 65536) return std::nullopt;  // not a language file
    if (end - start > 2 && text.compare(start, 2, "0=") == 0) {
      return text.substr(start + 2, end - start - 2);
    }
    if (cr == std::string::npos) return std::nullopt;
    start = cr + 1;
    if (start < text.size() && text[start] == '\n') ++start;
  }
}

std::string LanguageCodeText(int16_t code) {
  char text[8];
  std::snprintf(text, sizeof text, code < 0 ? "-%03d" : "%03d", std::abs(static_cast<int>(code)));
  return text;
}

bool SaveLanguageChoice(int16_t code) {
  const int error =
      WriteProfileKey(ProfileSetting::kLanguage, LanguageCodeText(code), "VELWEB.INI");
  if (error == 0) return true;
  std::fprintf(stderr, "Warning: the language could not be saved in VELWEB.INI: %s\n",
               std::strerror(error));
  std::fflush(stderr);
  return false;
}

std::vector<LanguageChoice> FindLanguages(const std::string& dir) {
  std::vector<LanguageChoice> choices;
  for (const std::string& fileName : FindFiles(dir + "VEL_LANG.???")) {
    const size_t dot = fileName.find('.');
    if (dot == std::string::npos) continue;
    const std::optional<int16_t> code = LanguageCodeOf(fileName.substr(dot + 1));
    if (!code) continue;
    // Offered only when the stored choice would load this very file.
    if (ResolveInDir(dir, "vel_lang." + LanguageCodeText(*code)) != dir + fileName) continue;
    std::optional<std::string> name = LanguageNameIn(dir + fileName);
    if (!name) continue;
    choices.push_back({std::move(*name), *code, fileName});
  }
  std::stable_sort(choices.begin(), choices.end(),
                   [](const LanguageChoice& a, const LanguageChoice& b) {
                     const std::string la = Lower(a.name), lb = Lower(b.name);
                     return la != lb ? la < lb : a.code < b.code;
                   });
  return choices;
}

bool CodeNamesAFile(const std::string& code) {
  return code.find_first_of(std::string("/*?\0", 4)) == std::string::npos;
}

std::string LanguageProblem(const std::string& profile) {
  const std::string code = ReadProfileKey(ProfileSetting::kLanguage, profile);
  if (code.empty()) return {};
  const std::string name = "vel_lang." + code;
  const std::string named = "Language=" + code + " in section [General] of " + profile + " names ";
  if (!CodeNamesAFile(code)) {
    return named + "no file of the program directory: write a language's number, such as 001.";
  }
  const std::string path = ProgramFile(name);
  if (!FileExists(path))
    return named + "the file " + name + ", which is not in " + ProgramDir() + ".";
  if (!ReadWholeFile(path)) {
    return named + "the file " + name + ", which cannot be read: " + std::strerror(errno) + ".";
  }
  return {};
}

}  // namespace vel
