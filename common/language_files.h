// The languages on offer in a program directory, as the language window (and the
// console prompt that stands in for it) lists them.
//
// A file "VEL_LANG." followed by one to three characters (any letter case) offers a
// language when its extension reads as a number and it holds a line that begins with
// "0=" and has something after it; the first such line gives the name (the whole rest
// of the line, "=" included) and the extension's number, rounded, gives the code. Lines
// end with CR LF or a CR alone, as in every language file.
//
// A choice is stored as the code in "000" form, and start-up then loads
// "vel_lang." + that text. A file that this text does not name (an extension "1" beside
// a stored "001", say) could never be loaded once chosen, so it is not offered: choosing
// it would only end the program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vel {

struct LanguageChoice {
  std::string name;  // 8-bit, as in the file
  int16_t code = 0;
  std::string fileName;
};

// The offered languages of `dir` (ending with "/"), sorted by name without regard to
// case, then by code. Files that cannot be read are left out.
std::vector<LanguageChoice> FindLanguages(const std::string& dir);

// The code a "VEL_LANG." extension stands for, when it reads as a number that fits.
std::optional<int16_t> LanguageCodeOf(const std::string& extension);

// The name line's text of a language file: the rest of its first line that begins with
// "0=" and is longer than two characters.
std::optional<std::string> LanguageNameIn(const std::string& path);

// The code as the profile keeps it: at least three digits, zeros in front (1 is "001",
// 44 is "044", -1 is "-001").
std::string LanguageCodeText(int16_t code);

// Writes the chosen language into "VELWEB.INI" ([General] Language). When the profile
// cannot be saved, says so on standard error with the reason, and returns false: the
// choice then holds for nothing after this start.
bool SaveLanguageChoice(int16_t code);

// Whether a [General] Language code can name a file of the program directory: the code
// is appended to "vel_lang." unchanged, so it must be a name, not a path or a pattern.
bool CodeNamesAFile(const std::string& code);

// Why LoadLanguage loads nothing although the profile names a language: the file that
// [General] Language names is missing or cannot be read. The empty text when no
// language is named (the language window's case), or the named one can be loaded.
std::string LanguageProblem(const std::string& profile = "VELWEB.INI");

}  // namespace vel
