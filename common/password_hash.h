// Password hashes in the crypt(3) form of libcrypt ("$y$..." yescrypt, "$6$..." SHA-512
// and the other strong methods it knows): velctl makes them, velweb checks Basic
// credentials against them. The one place that knows how a password is stored.
//
// Promises:
// - HashPassword makes a yescrypt hash with a fresh salt from the system's random source.
// - PasswordMatches compares in constant time and never matches a hash that is not
//   usable (empty, legacy DES or MD5, unknown method, damaged).
// - Everything is thread-safe: no static buffers (crypt_r, crypt_gensalt_rn).
#pragma once

#include <string>

namespace vel {

// A yescrypt hash of `password`; empty when the system cannot make one.
std::string HashPassword(const std::string& password);

// True when `hash` is one that PasswordMatches can check: a method libcrypt holds to be
// strong enough today. False with the reason in `why` otherwise.
bool UsablePasswordHash(const std::string& hash, std::string& why);

bool PasswordMatches(const std::string& hash, const std::string& password);

}  // namespace vel
