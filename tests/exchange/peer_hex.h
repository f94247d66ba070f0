// Texts between a test and the velmar_peer process travel as hex digits, "-" for the
// empty text, so that any byte (NUL, 0xFE, 0xFF, line ends) gets through a line protocol.
#ifndef VELMAR_PEER_HEX_H
#define VELMAR_PEER_HEX_H

#include <cstddef>
#include <string>

inline std::string Hex(const std::string& bytes) {
  if (bytes.empty()) return "-";
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

inline std::string Unhex(const std::string& hex) {
  if (hex == "-") return "";
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

#endif
