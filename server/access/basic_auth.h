// HTTP Basic credentials: what a request's "Authorization:" line says, and the check of
// its password against the hash of the [Access] Password key. The user name is not
// checked: there is one password.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "request.h"

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
BasicCredentials ParseBasicCredentials(const HttpRequest& request);

// Standard base64 with its padding; nothing for anything else.
std::optional<std::string> DecodeBase64(std::string_view text);

// What is known of presented passwords without hashing them again. A crypt(3) hash is
// slow to check on purpose (60 to 130 ms for yescrypt), and the check runs elsewhere
// (password_hasher.h): its results are remembered here, as keyed digests, so that a
// browser that sends the right password with every request costs one check, not one
// each, and a wrong password sent again costs none.
class PasswordCheck {
 public:
  // Wrong passwords remembered, the latest ones.
  static constexpr size_t kWrongKept = 64;

  explicit PasswordCheck(std::string hash = {});
  bool Enabled() const { return !hash_.empty(); }
  const std::string& Hash() const { return hash_; }
  // True or false when `password` has been checked before; nothing when it must be.
  std::optional<bool> Known(const std::string& password) const;
  // The result of a check of `password` against the hash.
  void Remember(const std::string& password, bool matched);

 private:
  using Digest = std::array<uint8_t, 32>;
  Digest DigestOf(const std::string& password) const;

  std::string hash_;
  std::string key_;  // random, so that the digests kept say nothing outside this process
  std::optional<Digest> matched_;
  std::vector<Digest> wrong_;  // a ring of kWrongKept
  size_t nextWrong_ = 0;
};

}  // namespace vel
