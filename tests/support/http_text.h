// What the tests read of an HTTP answer, and the Basic credentials they send.
#pragma once

#include <cstdint>
#include <string>

namespace veltest {

// A POST of `body` to `target`, with the header lines `head` (each ending in CR LF).
inline std::string PostRequest(const std::string& body, const std::string& head = "",
                               const std::string& target = "/send.htm") {
  return "POST " + target + " HTTP/1.0\r\n" + head +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// How often `piece` stands in `text` (a log, an answer).
inline size_t CountOf(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

inline std::string StatusLine(const std::string& answer) {
  return answer.substr(0, answer.find("\r\n"));
}

// What follows the head; the whole answer when it has none.
inline std::string Body(const std::string& answer) {
  const size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? answer : answer.substr(end + 4);
}

// The JSON answer to a message handed over to `receivers` (quoted and separated by
// commas) that is the one message waiting.
inline std::string JsonSent(const std::string& receivers) {
  return "{\"sent\": true, \"receivers\": [" + receivers +
         "], \"waiting\": 1, \"alarmServerTaking\": true}\n";
}

inline std::string Base64(const std::string& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 2]);
    out += kDigits[n >> 18 & 63];
    out += kDigits[n >> 12 & 63];
    out += i + 1 < bytes.size() ? kDigits[n >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[n & 63] : '=';
  }
  return out;
}

// The header line of Basic credentials.
inline std::string Basic(const std::string& user, const std::string& password) {
  return "Authorization: Basic " + Base64(user + ":" + password) + "\r\n";
}

}  // namespace veltest
