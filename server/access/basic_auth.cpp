#include "basic_auth.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include "request.h"
#include "text_case.h"

namespace vel {

std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int v[4];
    int padding = 0;
    for (int j = 0; j < 4; ++j) {
      const char c = text[i + static_cast<size_t>(j)];
      if (c == '=' && last && j >= 2) {
        v[j] = 0;
        ++padding;
        continue;
      }
      if (padding > 0) return std::nullopt;  // nothing after padding
      v[j] = value(c);
      if (v[j] < 0) return std::nullopt;
    }
    const uint32_t bits = static_cast<uint32_t>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
    out += static_cast<char>(bits >> 16);
    if (padding < 2) out += static_cast<char>((bits >> 8) & 0xFF);
    if (padding < 1) out += static_cast<char>(bits & 0xFF);
  }
  return out;
}

BasicCredentials ParseBasicCredentials(const HttpRequest& request) {
  BasicCredentials credentials;
  const std::vector<std::string> lines = request.HeaderValues("Authorization");
  if (lines.empty()) return credentials;
  const std::string& line = lines.front();
  const size_t blank = line.find_first_of(" \t");
  if (blank == std::string::npos || !EqualsAsciiNoCase(line.substr(0, blank), "Basic")) {
    return credentials;
  }
  credentials.kind = BasicCredentials::Kind::kMalformed;
  const size_t token = line.find_first_not_of(" \t", blank);
  if (token == std::string::npos) return credentials;
  const std::optional<std::string> decoded = DecodeBase64(std::string_view(line).substr(token));
  if (!decoded) return credentials;
  const size_t colon = decoded->find(':');
  if (colon == std::string::npos) return credentials;
  credentials.kind = BasicCredentials::Kind::kGiven;
  credentials.user = decoded->substr(0, colon);
  credentials.password = decoded->substr(colon + 1);
  return credentials;
}

PasswordCheck::PasswordCheck(std::string hash) : hash_(std::move(hash)) {
  key_.resize(32);
  for (char& c : key_) c = static_cast<char>(QRandomGenerator::system()->generate() & 0xFF);
}

PasswordCheck::Digest PasswordCheck::DigestOf(const std::string& password) const {
  const QByteArray mac =
      QMessageAuthenticationCode::hash(QByteArray::fromStdString(password),
                                       QByteArray::fromStdString(key_), QCryptographicHash::Sha256);
  Digest digest{};
  std::copy(mac.begin(), mac.begin() + 32, digest.begin());
  return digest;
}

std::optional<bool> PasswordCheck::Known(const std::string& password) const {
  if (hash_.empty()) return false;
  if (!matched_ && wrong_.empty()) return std::nullopt;
  const Digest digest = DigestOf(password);
  auto same = [&digest](const Digest& other) {
    uint8_t difference = 0;
    for (size_t i = 0; i < digest.size(); ++i) difference |= digest[i] ^ other[i];
    return difference == 0;
  };
  if (matched_ && same(*matched_)) return true;
  for (const Digest& wrong : wrong_) {
    if (same(wrong)) return false;
  }
  return std::nullopt;
}

void PasswordCheck::Remember(const std::string& password, bool matched) {
  if (hash_.empty()) return;
  const Digest digest = DigestOf(password);
  if (matched) {
    matched_ = digest;
  } else if (wrong_.size() < kWrongKept) {
    wrong_.push_back(digest);
  } else {
    wrong_[nextWrong_] = digest;
    nextWrong_ = (nextWrong_ + 1) % kWrongKept;
  }
}

}  // namespace vel
