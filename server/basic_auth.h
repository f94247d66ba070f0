// HTTP Basic credentials: what a request's "Authorization:" line says, and the check of
// its password against the hash of the [Access] Password key. The user name is not
// checked: there is one password.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vel {

inline constexpr const char* kBasicRealm = "Velmar Web Server";

struct BasicCredentials {
  enum class Kind {
    kNone,       // no "Authorization: Basic" line: a browser's first request looks so
    kMalformed,  // a Basic line whose token is no base64 of "user:password"
    kGiven,
  };
  Kind kind = Kind::kNone;
  std::string user;
  std::string password;
};

// The first "Authorization:" line of the header block; its scheme is matched without
// regard to case. A line of another scheme counts as none.
BasicCredentials ParseBasicCredentials(const std::string& request);

// Standard base64 with its padding; nothing for anything else.
std::optional<std::string> DecodeBase64(std::string_view text);

// Checks passwords against one crypt(3) hash. A hash is slow to check on purpose (some
// 30 ms for yescrypt): the password that matched once is remembered, as a keyed digest,
// so that a browser that sends it with every request costs one check, not one each.
class PasswordCheck {
 public:
  explicit PasswordCheck(std::string hash = {});
  bool Enabled() const { return !hash_.empty(); }
  bool Matches(const std::string& password);

 private:
  std::array<uint8_t, 32> Digest(const std::string& password) const;

  std::string hash_;
  std::string key_;  // random, so that the digest kept says nothing outside this process
  std::optional<std::array<uint8_t, 32>> matched_;
};

}  // namespace vel
