// Text at the edges. Inside, every program of the family keeps text as Windows-1252
// bytes; a person's terminal speaks the encoding its locale (LC_CTYPE) names. This is
// the one place where the two meet: command-line arguments come in through
// FromTerminal, console lines go out through ToTerminal.
//
// What it promises:
// - ASCII passes both ways unchanged (control characters included; callers that show
//   raw bytes escape those themselves).
// - ToTerminal never loses a byte silently: a character the terminal cannot show (any
//   byte above 0x7F on an ASCII-only terminal, the five codes Windows-1252 leaves
//   unassigned, a letter the locale's character set lacks) comes out as \xHH.
// - FromTerminal either converts the whole text or fails with a message that names the
//   first character (or byte) it could not take. An ASCII-only terminal (the C or POSIX
//   locale) takes nothing above 0x7F: its bytes mean no character.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace vel {

class TerminalText {
 public:
  // An encoding by its iconv name ("UTF-8", "ISO-8859-15", ...). "ANSI_X3.4-1968" (what
  // the C locale reports), "ASCII" and names iconv does not know give an ASCII-only
  // terminal.
  explicit TerminalText(const std::string& codeset);
  // The encoding of the current LC_CTYPE locale.
  static TerminalText FromLocale();
  // UTF-8, made once: for JSON, metrics and other texts that are UTF-8 whatever the locale.
  static const TerminalText& Utf8();

  const std::string& Codeset() const { return codeset_; }
  bool AsciiOnly() const { return asciiOnly_; }

  // The terminal's bytes for a Windows-1252 byte, or "" when it cannot show it.
  const std::string& Character(unsigned char cp1252) const;
  std::string ToTerminal(std::string_view cp1252) const;
  // False with a reason in `error` when some character has no Windows-1252 byte.
  bool FromTerminal(std::string_view text, std::string& cp1252, std::string& error) const;

 private:
  std::string codeset_;
  bool asciiOnly_ = true;
  std::array<std::string, 256> characters_;  // per Windows-1252 byte
};

// The terminal of this process, fixed by InitProcessTerminal: it takes the locale from
// the environment (setlocale(LC_CTYPE, "")) and must run before anything else changes
// the locale (Qt, for one, switches a non-UTF-8 locale to UTF-8 when it starts).
// Before that call, and when it was never made, the terminal is ASCII-only.
void InitProcessTerminal();
const TerminalText& ProcessTerminal();

}  // namespace vel
