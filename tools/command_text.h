// Showing what crosses the exchange: bytes made readable, and command entries taken
// apart into kind, receivers and message.
#ifndef VELCTL_COMMAND_TEXT_H
#define VELCTL_COMMAND_TEXT_H

#include <string>
#include <string_view>
#include <vector>

#include "terminal_text.h"

namespace velctl {

// Printable ASCII stays as it is; a backslash and a double quote get a backslash;
// every other byte is shown as \xHH. With a terminal, the Windows-1252 characters it
// can show (0xA0 to 0xFF and the letters and signs of 0x80 to 0x9F) come out in its
// encoding instead; control bytes stay \xHH.
std::string EscapeBytes(std::string_view bytes, const vel::TerminalText* terminal = nullptr);

// Reverses EscapeBytes' \xHH (and \\ and \"), so that names with bytes outside ASCII
// can be given on a command line. Anything else stays as it is.
std::string UnescapeBytes(std::string_view text);

// A command entry: the kind before the first ":" ("FT" for a free-text message), then
// names each followed by the byte 0xFE, then the message to the end.
struct CommandEntry {
  bool hasKind = false;
  std::string kind;
  std::vector<std::string> receivers;
  std::string message;
};

CommandEntry DecodeCommand(std::string_view entry);

// One line: kind="FT" receivers=["A", "B"] message="Hello" (texts as EscapeBytes shows
// them).
std::string FormatCommand(const CommandEntry& command, const vel::TerminalText* terminal = nullptr);

}  // namespace velctl

#endif  // VELCTL_COMMAND_TEXT_H
