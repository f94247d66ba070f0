#include "command_text.h"

#include <cstdio>

namespace velctl {
namespace {

constexpr char kReceiverEnd = '\xFE';

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Quoted(std::string_view bytes, const vel::TerminalText* terminal) {
  return "\"" + EscapeBytes(bytes, terminal) + "\"";
}

}  // namespace

std::string EscapeBytes(std::string_view bytes, const vel::TerminalText* terminal) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else if (b >= 0x80 && terminal && !terminal->Character(b).empty()) {
      out += terminal->Character(b);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", b);
      out += hex;
    }
  }
  return out;
}

std::string UnescapeBytes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      const char next = text[i + 1];
      if (next == '\\' || next == '"') {
        out += next;
        ++i;
        continue;
      }
      if (next == 'x' && i + 3 < text.size() && HexValue(text[i + 2]) >= 0 &&
          HexValue(text[i + 3]) >= 0) {
        out += static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]));
        i += 3;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

CommandEntry DecodeCommand(std::string_view entry) {
  CommandEntry command;
  const std::size_t colon = entry.find(':');
  if (colon != std::string_view::npos) {
    command.hasKind = true;
    command.kind = std::string(entry.substr(0, colon));
    entry.remove_prefix(colon + 1);
  }
  for (std::size_t end = entry.find(kReceiverEnd); end != std::string_view::npos;
       end = entry.find(kReceiverEnd)) {
    command.receivers.emplace_back(entry.substr(0, end));
    entry.remove_prefix(end + 1);
  }
  command.message = std::string(entry);
  return command;
}

std::string FormatCommand(const CommandEntry& command, const vel::TerminalText* terminal) {
  std::string line;
  if (command.hasKind) line += "kind=" + Quoted(command.kind, terminal) + " ";
  line += "receivers=[";
  for (std::size_t i = 0; i < command.receivers.size(); ++i) {
    if (i > 0) line += ", ";
    line += Quoted(command.receivers[i], terminal);
  }
  line += "] message=" + Quoted(command.message, terminal);
  return line;
}

}  // namespace velctl
