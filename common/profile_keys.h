// Every section and key of the profile "VELWEB.INI" that the programs read, each named
// once in one table with its default, and the check that finds what a profile holds
// beyond them: a mistyped key is otherwise silently ignored and its default used.
//
// The programs read a key through its row (ReadProfileKey, ReadProfileNumber), so a new
// setting is one more row of kProfileKeys and one more name in ProfileSetting; the check
// knows of it from the row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace vel {

// The keys, in the order of the rows of kProfileKeys.
enum class ProfileSetting : size_t {
  kHttpPort,
  kLanguage,
  kHeaders,
  kHosts,
  kAllowFrom,
  kSendLimit,
  kPassword,
  kTrustProxy,
  kKnownReceiversOnly,
  kListenAddress,
  kStallSeconds,
  kLogDays,
  kStatusFrom,
  kCount
};

struct ProfileKey {
  ProfileSetting setting;
  const char* section;
  const char* key;
  const char* defaultValue;  // read when the file, the section or the key is missing
  bool number;  // read as a number: a value that is not a plain integer is worth a word
};

inline constexpr ProfileKey kProfileKeys[] = {
    // clang-format off
    {ProfileSetting::kHttpPort,      "TCPIP",   "HTTPPort",      "80",             true},
    {ProfileSetting::kLanguage,      "General", "Language",      "",               false},
    {ProfileSetting::kHeaders,       "HTTP",    "Headers",       "0",              true},
    {ProfileSetting::kHosts,         "HTTP",    "Hosts",         "",               false},
    {ProfileSetting::kAllowFrom,     "Access",  "AllowFrom",     "",               false},
    {ProfileSetting::kSendLimit,     "Access",  "SendLimit",     "0",              true},
    {ProfileSetting::kPassword,      "Access",  "Password",      "",               false},
    {ProfileSetting::kTrustProxy,    "Access",  "TrustProxy",    "",               false},
    {ProfileSetting::kKnownReceiversOnly, "Access", "KnownReceiversOnly", "0",   true},
    {ProfileSetting::kListenAddress, "TCPIP",   "ListenAddress", "",               false},
    {ProfileSetting::kStallSeconds,  "General", "StallSeconds",  "60",             true},
    {ProfileSetting::kLogDays,       "General", "LogDays",       "0",              true},
    {ProfileSetting::kStatusFrom,    "Status",  "From",          "127.0.0.1, ::1", false},
    // clang-format on
};

static_assert(
    [] {
      if (std::size(kProfileKeys) != static_cast<size_t>(ProfileSetting::kCount)) return false;
      for (size_t i = 0; i < std::size(kProfileKeys); ++i) {
        if (static_cast<size_t>(kProfileKeys[i].setting) != i) return false;
      }
      return true;
    }(),
    "kProfileKeys holds one row per ProfileSetting, in its order");

constexpr const ProfileKey& RowOf(ProfileSetting setting) {
  return kProfileKeys[static_cast<size_t>(setting)];
}

// The key's value in the profile `fileName`, as ReadProfileString reads it, with the
// row's default.
std::string ReadProfileKey(ProfileSetting setting, const std::string& fileName);
// A number key's value as every number of the profile is read: the leading number,
// rounded half to even (no digits reads 0; beyond the 64-bit range, its nearest end).
int64_t ReadProfileNumber(ProfileSetting setting, const std::string& fileName);
// WriteProfileString for the key: 0 when saved, else the reason as an errno value.
int WriteProfileKey(ProfileSetting setting, const std::string& value, const std::string& fileName);

// One warning per line of `content` (a profile's bytes) that velweb does not read as it
// may have been meant, each beginning with `fileName`, " line ", the line number and
// ": ". Unknown sections and keys (with the nearest known one where one is near: "HTTPPrt:
// unknown key in [TCPIP], did you mean HTTPPort?"), keys outside any section, lines
// that are neither a section nor a key, keys given twice, and number keys whose value is
// not a plain integer (with the number read from it). Names match without regard to case,
// as the profile reader matches them. Texts are Windows-1252, as the file is.
//
// With `accessMistakes`, the lines that leave [Access] other than it may have been meant
// go there instead: velweb does not start with them, for a server that runs open to
// everyone because of a typing mistake is worse than one that does not run. They are an
// unknown section nearest to [Access], an unknown key nearest to one of [Access] (or
// one of its keys in another section, or in none), a key of [Access] given twice, and a
// number of [Access] that is no whole number or is negative.
std::vector<std::string> CheckProfileKeys(const std::string& content, const std::string& fileName,
                                          std::vector<std::string>* accessMistakes = nullptr);

}  // namespace vel
