// The general module Vel_Proc: text fields, directory operations, form decoding,
// profile access and language texts. Everything works on byte strings (one character
// per byte, Windows-1252 where text is shown); nothing here knows of windows or sockets.
//
// Text positions are 16-bit signed as the callers expect: the field and decoding
// routines throw OverflowError where a position would pass 32 767, so that a caller
// never uses a half-made result. Texts up to 32 766 characters never fail.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vel {

// A text position or a number ran past what its 16- or 32-bit type can hold.
class OverflowError : public std::overflow_error {
 public:
  using std::overflow_error::overflow_error;
};

// ---- program directory ---------------------------------------------------------------

// The real directory of the executable, ending with "/". Set once at start-up.
const std::string& ProgramDir();
void SetProgramDir(std::string dir);  // "/" is appended when missing
std::string ExecutableDir();          // from /proc/self/exe, symlinks resolved, ending "/"

// The path of a bare name in `dir`, looked up without regard to ASCII case: an existing
// entry whose name matches ignoring case is used, otherwise dir + name as spelt.
std::string ResolveInDir(const std::string& dir, const std::string& name);
// ResolveInDir(ProgramDir(), name).
std::string ProgramFile(const std::string& name);

// ---- numbers -------------------------------------------------------------------------

// Reads the leading number of a text the way the profile and language callers expect:
// blanks skipped, the longest leading numeric part taken, no digits reads as 0.
double LeadingNumber(const std::string& text);
// Rounds half to even, as the callers' integer conversions do.
int64_t RoundHalfEven(double value);

// ---- fields and files ------------------------------------------------------------------

// Field `index` (from 0) of `text` split at `separator`. An empty separator is replaced
// in the caller's variable by TAB or ";" when the text holds one.
std::string GetField(const std::string& text, int16_t index, std::string& separator);
std::string GetFieldNoCase(const std::string& text, int16_t index, std::string& separator);

// True when `path` (which may hold "*" and "?" in its last component) names at least
// one regular, non-hidden file. Every error reads as absence.
bool FileExists(const std::string& path);

// For every dir/*.<from> without a readable dir/<base>.<to>, copies it there.
void CopyMissingFiles(const std::string& dir, const std::string& from, const std::string& to);

// ---- form decoding ---------------------------------------------------------------------

std::string DecodeFormText(const std::string& text);
int32_t HexToLong(const std::string& digits);

// ---- profile ---------------------------------------------------------------------------

std::string ReadProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultValue, const std::string& fileName);
void WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& fileName);

struct FormPosition {
  float left;
  float top;
};
FormPosition CenterForm(float screenWidth, float screenHeight, float formWidth,
                        float formHeight);

// ---- language texts --------------------------------------------------------------------

bool LoadLanguage();
std::string GetText(int32_t number);

}  // namespace vel
