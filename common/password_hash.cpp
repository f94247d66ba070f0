#include "password_hash.h"

#include <crypt.h>

#include <cstring>
#include <memory>

namespace vel {

namespace {

// crypt_data is some 32 kB: too large for the stack of a thread.
std::unique_ptr<crypt_data> NewCryptData() {
  auto data = std::make_unique<crypt_data>();
  std::memset(data.get(), 0, sizeof *data);
  return data;
}

}  // namespace

std::string HashPassword(const std::string& password) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  // Count 0: the method's own default cost; no random bytes given: libcrypt reads them.
  if (!crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting)) return {};
  const std::unique_ptr<crypt_data> data = NewCryptData();
  const char* hash = crypt_r(password.c_str(), setting, data.get());
  if (!hash || hash[0] != '$') return {};
  return hash;
}

bool UsablePasswordHash(const std::string& hash, std::string& why) {
  if (hash.empty() || hash[0] != '$') {
    why = "it is no crypt(3) hash (those begin with $y$ or $6$)";
    return false;
  }
  switch (crypt_checksalt(hash.c_str())) {
    case CRYPT_SALT_OK:
      break;
    case CRYPT_SALT_METHOD_LEGACY:
    case CRYPT_SALT_TOO_CHEAP:
      why = "its method is too weak today (use yescrypt $y$ or SHA-512 $6$)";
      return false;
    default:
      why = "its method is unknown or the hash is damaged";
      return false;
  }
  // A hash that checksalt accepts may still be cut short: it must reproduce itself.
  const std::unique_ptr<crypt_data> data = NewCryptData();
  const char* again = crypt_r("", hash.c_str(), data.get());
  if (!again || again[0] != '$' || std::strlen(again) != hash.size()) {
    why = "the hash is damaged";
    return false;
  }
  return true;
}

bool PasswordMatches(const std::string& hash, const std::string& password) {
  if (hash.empty() || hash[0] != '$' || password.find('\0') != std::string::npos) return false;
  const std::unique_ptr<crypt_data> data = NewCryptData();
  const char* computed = crypt_r(password.c_str(), hash.c_str(), data.get());
  if (!computed || std::strlen(computed) != hash.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < hash.size(); ++i) {
    difference |= static_cast<unsigned char>(computed[i] ^ hash[i]);
  }
  return difference == 0;
}

}  // namespace vel
