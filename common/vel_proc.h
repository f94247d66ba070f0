// The general module Vel_Proc: text fields, directory operations, form decoding,
// profile access and language texts. Everything works on byte strings (one character
// per byte, Windows-1252 where text is shown); nothing here knows of windows or sockets.
//
// Text positions are 16-bit signed as the callers expect: the field and decoding
// routines throw OverflowError where a position would pass 32 767, so that a caller
// never uses a half-made result. Texts up to 32 766 characters never fail.
//
// Nothing here is thread-safe beyond what the single-threaded server needs: the program
// directory is set once at start-up, the language table is loaded once.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "language_texts.h"

namespace vel {

// A text position or a number ran past what its 16- or 32-bit type can hold.
class OverflowError : public std::overflow_error {
 public:
  using std::overflow_error::overflow_error;
};

// ---- program directory ---------------------------------------------------------------

// The real directory of the executable, ending with "/". Set once at start-up.
// Empty until SetProgramDir is called (names then resolve in the working directory).
const std::string& ProgramDir();
void SetProgramDir(std::string dir);  // "/" is appended when missing; "" means "./"
std::string ExecutableDir();          // from /proc/self/exe, symlinks resolved, ending "/"

// The path of a bare name in `dir`, looked up without regard to ASCII case: an existing
// entry whose name matches ignoring case is used, otherwise dir + name as spelt.
// An entry spelt exactly as asked wins; among several that differ only in case, the
// first in byte order. A name holding "/" is not looked up: dir + name as spelt.
std::string ResolveInDir(const std::string& dir, const std::string& name);
// ResolveInDir(ProgramDir(), name).
std::string ProgramFile(const std::string& name);

// ---- numbers -------------------------------------------------------------------------

// Where blanks may stand in a number that LeadingNumber reads.
enum class NumberBlanks {
  kLeading,   // before it only: "324 24" reads 324 (profile values)
  kAnywhere,  // before and inside it: "1 2=" reads 12 (the numbers of language lines)
};

// Reads the leading number of a text the way the profile and language callers expect:
// blanks skipped, the longest leading numeric part taken, no digits reads as 0.
//
// Blanks are spaces, tabs and line feeds. The number is an optional sign, digits, an
// optional "." with digits, and an optional exponent ("E" or "D", either case, optional
// sign, digits). Reading stops at the first character that cannot continue the number
// (with kLeading, a blank after the first character of the number is one).
// Only decimal numbers are read: "&H" and "&O" prefixes are not numbers here ("&H50"
// reads 0), since every caller documents its value as decimal. A number too large for
// a double reads as plus or minus infinity.
double LeadingNumber(const std::string& text, NumberBlanks blanks = NumberBlanks::kLeading);
// Rounds half to even, as the callers' integer conversions do. Values outside the
// 64-bit range (and infinities) give the nearest end of the range; NaN gives 0.
int64_t RoundHalfEven(double value);

// ---- fields and files ------------------------------------------------------------------

// Field `index` (from 0) of `text` split at `separator`. An empty separator is replaced
// in the caller's variable by TAB or ";" when the text holds one (TAB wins); when it
// stays empty every field is the empty text. A negative index or one past the last
// field gives the empty text. Throws OverflowError when a separator is found past
// character 32 767, when a field would start past 32 767, or when the wanted field is
// the last one of a text of 32 767 characters or more.
std::string GetField(const std::string& text, int16_t index, std::string& separator);
// As GetField, with the separator matched without regard to letter case (Windows-1252
// letters, so "ä" matches "Ä"). The field keeps the letters of `text`.
std::string GetFieldNoCase(const std::string& text, int16_t index, std::string& separator);

// The fields of `text` one after another from index `first` on, each exactly as GetField
// (GetFieldNoCase with `ignoreCase`) gives it for its index, with the same overflows, in
// one walk over the text instead of one walk per field: reading every field of a long
// text takes linear time. `separator` must not be empty; `text` must outlive the walk.
// Past the last field (or past index 32 767) every Next gives the empty text.
class FieldWalk {
 public:
  FieldWalk(const std::string& text, const std::string& separator, bool ignoreCase,
            int16_t first = 0);
  FieldWalk(std::string&&, const std::string&, bool, int16_t = 0) = delete;  // would dangle
  std::string Next();

 private:
  const std::string& text_;
  std::string upper_;  // the text upper-cased, for the case-blind walk
  std::string needle_;
  bool ignoreCase_;
  int16_t index_;  // the field the last Next gave (the first one before that)
  bool started_ = false;
  bool done_ = false;
  int64_t start_ = 1;  // position (from 1) of the last field
  int64_t found_ = 0;  // position of the separator after it, 0 when there is none
};

// True when `path` (which may hold "*" and "?" in its last component) names at least
// one regular, non-hidden file. Every error reads as absence.
//
// Matching ignores ASCII case. "*" matches any run of characters, dots included; "?"
// matches exactly one character, except that "?"s at the very end of the pattern may
// also match nothing ("VEL_LANG.???" finds extensions of up to three characters).
// Names beginning with "." are hidden. Symbolic links count by what they point to.
// Wildcards in the directory part match nothing.
bool FileExists(const std::string& path);

// The names (not paths) of the regular, non-hidden files that `path` matches, as
// FileExists counts them, sorted by their bytes. Every error gives an empty list.
std::vector<std::string> FindFiles(const std::string& path);

// Restores missing working files from their shipped copies: for every file dir/*.<from>
// (found as FindFiles finds it, `dir` ending with "/"), `base` is its name up to and
// including the first "."; when dir/<base><to> does not exist (or is a link to nothing),
// dir/<base><from> is copied to it. So A.OCV gives A.RCV, and X.Y.OCV looks for X.RCV
// and copies X.OCV (when there is one). Both names are resolved without regard to ASCII
// case; a new working copy is spelt <base><to> and gets the permissions of a new file.
// A working copy that is there is never touched, even one this account may not read;
// copies are written whole or not
// at all. Every error is ignored.
void CopyMissingFiles(const std::string& dir, const std::string& from, const std::string& to);

// ---- form decoding ---------------------------------------------------------------------

// Turns a form-encoded value back into the typed text: every "+" becomes a space, then
// every "%" with the (up to) two characters after it becomes the byte of their value
// (HexToLong; non-digits count as nothing). A produced byte is never decoded again.
// Throws OverflowError when a "%" stands at character 32 767 or later (counted in the
// text as it is while being decoded).
std::string DecodeFormText(const std::string& text);
// The value of a text of hexadecimal digits (either case); a character that is not a
// digit adds nothing but keeps its place. The empty text is 0. Throws OverflowError
// when the value is above 2 147 483 647.
int32_t HexToLong(const std::string& digits);

// ---- profile ---------------------------------------------------------------------------
//
// A profile is an INI file in the program directory (`fileName` is a bare name, resolved
// with ProgramFile). What the reader and the writer agree on:
// - Lines end with LF, CR LF or a CR alone. A new file is written with CR LF; lines added
//   to an existing file take the line end of its first line.
// - "[name]" on a line of its own (blanks around allowed) begins a section; section and
//   key names match without regard to letter case (Windows-1252) and with the blanks
//   around them removed.
// - A line whose first non-blank character is ";" is a comment. Lines before the first
//   section and lines without "=" hold no key. Comments and blank lines are kept as they
//   are when the file is written.
// - The value is the text after the first "=", blanks (spaces and tabs) at both ends
//   removed, then one pair of enclosing double or single quotes removed.
// - When a section or a key occurs more than once, the first occurrence in the file is
//   the one read and the one written; later ones are left alone.

// The key's value, cut to 2047 characters; `defaultValue` (cut likewise) when the file,
// the section or the key does not exist. A key with an empty value gives "".
std::string ReadProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultValue, const std::string& fileName);
// Sets the key to `value`, creating the file, the section ("[section]" at the end of
// the file) and the key (after the last line of the section that is not blank) where
// missing. An existing key keeps its line: the text after its "=" becomes the value.
// Every other byte of the file stays as it was; the file is replaced whole, keeping its
// permissions (through a temporary file beside it; where none can be made, a writable
// file is rewritten in place). Nothing is written when the file cannot be written (no
// write permission bit, missing directory, an existing file that cannot be read) or when
// a name or the value would break the file's form (a line break or NUL anywhere, "]" in
// the section, "=" in the key, a key that is empty or begins with ";" or "[").
// Returns 0 when the profile was saved, else the reason as an errno value (EINVAL for a
// name or value that would break the form).
int WriteProfileString(const std::string& section, const std::string& key, const std::string& value,
                       const std::string& fileName);

// One line of a profile as the reader takes it, for checking what a profile holds.
// Blank lines and comments are left out.
struct ProfileEntry {
  enum class Kind {
    kSection,  // "[name]"
    kKey,      // "name=value", also before the first section (where it is never read)
    kOther,    // neither: a line the reader passes over
  };
  Kind kind = Kind::kOther;
  int line = 0;       // counted from 1, as the line ends above count them
  std::string name;   // section or key name with the blanks around it removed; the
                      // whole line for kOther
  std::string value;  // a key's value as ReadProfileString gives it (not cut)
};
std::vector<ProfileEntry> ProfileEntries(const std::string& content);

struct FormPosition {
  float left;
  float top;
};
// The top-left position that centres a window of the given size on a screen of the given
// size, in the same unit; a negative coordinate becomes 0.
FormPosition CenterForm(float screenWidth, float screenHeight, float formWidth, float formHeight);

// ---- language texts --------------------------------------------------------------------

// Loads the texts of the language that the profile names ("General"/"Language" of
// "VELWEB.INI"): the file "vel_lang." + that value, unchanged, in the program directory.
// False when the profile names none, the name holds "/", "*", "?" or a NUL byte, or the
// file is missing or cannot be read. Lines end with CR LF or a CR alone (a LF alone stays
// in the line); a line "number=text" loads the text up to the next "="; a line without
// "=" is skipped, and so is a line whose number does not fit 32 bits or that GetField
// cannot take apart (OverflowError: its "=" or its text reach past character 32 767).
bool LoadLanguage();
// The text with that number (the first loaded line with it), or "Invalid Text (n)". The
// numbers the server asks for have names in language_texts.h.
std::string GetText(int32_t number);
// Forgets every loaded text, as at program start.
void ResetLanguage();

}  // namespace vel
