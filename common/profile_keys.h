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
  kOutboxSize,
  kOutboxExpireSeconds,
  kOutboxKeepDays,
  kCount
};

inline constexpr int64_t kNoLimit = INT64_MAX;

struct ProfileKey {
  ProfileSetting setting;
  const char* section;
  const char* key;
  const char* defaultValue;  // read when the file, the section or the key is missing
  bool number;       // read as a number: a value that is not a plain integer is worth a word
  const char* help;  // what it means, for velweb --help: ASCII, one line or two
  // For a number, the values that mean something; any other reads as 0.
  int64_t lowest = 0;
  int64_t highest = kNoLimit;
  // A mistake about this key may open the server to more than was meant (everyone may
  // send, plain HTTP on every address): it stops the start rather than being warned of.
  bool guards = false;
};

inline constexpr ProfileKey kProfileKeys[] = {
    // clang-format off
    // The port's range has a message of its own when the port cannot be used.
    {ProfileSetting::kHttpPort,      "TCPIP",   "HTTPPort",      "80",             true,
     "the TCP port to listen on", INT64_MIN, kNoLimit},
    {ProfileSetting::kLanguage,      "General", "Language",      "",               false,
     "the language file vel_lang.NNN (001 English, 049 German)"},
    {ProfileSetting::kHeaders,       "HTTP",    "Headers",       "0",              true,
     "1 sends an HTTP/1.0 status line and header fields before every body", 0, 1},
    {ProfileSetting::kHosts,         "HTTP",    "Hosts",         "",               false,
     "names the server is reached by, beside its addresses, localhost and the\n"
     "machine's names (*: any); with Headers=1 a request for another is refused"},
    {ProfileSetting::kAllowFrom,     "Access",  "AllowFrom",     "",               false,
     "addresses and networks that may use the server, such as 192.168.10.0/24 ::1\n"
     "(empty: all)", 0, 0, true},
    {ProfileSetting::kSendLimit,     "Access",  "SendLimit",     "0",              true,
     "messages per address and minute (0: no limit)", 0, kNoLimit, true},
    {ProfileSetting::kPassword,      "Access",  "Password",      "",               false,
     "the line 'velctl passwd' prints; needs Headers=1", 0, 0, true},
    {ProfileSetting::kTrustProxy,    "Access",  "TrustProxy",    "",               false,
     "proxies whose X-Forwarded-For names the client", 0, 0, true},
    {ProfileSetting::kKnownReceiversOnly, "Access", "KnownReceiversOnly", "0",    true,
     "1 refuses a message for a receiver the receiver file does not hold", 0, 1, true},
    {ProfileSetting::kListenAddress, "TCPIP",   "ListenAddress", "",               false,
     "the one address to listen on (empty: all)", 0, 0, true},
    {ProfileSetting::kStallSeconds,  "General", "StallSeconds",  "60",             true,
     "waiting messages untaken this long are reported (0: off)"},
    {ProfileSetting::kLogDays,       "General", "LogDays",       "0",              true,
     "daily logs older than this are removed (0: kept)"},
    {ProfileSetting::kStatusFrom,    "Status",  "From",          "127.0.0.1, ::1", false,
     "who may GET /metrics and /health (empty: off)"},
    {ProfileSetting::kOutboxSize,    "Outbox",  "Size",          "0",              true,
     "messages kept on disk until the alarm server takes them (0: no outbox, a\n"
     "message is stored in the command buffer at once or refused)"},
    {ProfileSetting::kOutboxExpireSeconds, "Outbox", "ExpireSeconds", "0",        true,
     "a message not passed to the alarm server within this is dropped (0: never)"},
    {ProfileSetting::kOutboxKeepDays, "Outbox",  "KeepDays",      "0",              true,
     "days a message is kept in the outbox's history after it ended (0: not kept)"},
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

// Every key with its default and meaning, as velweb --help shows them: a line per key
// ("  [Section] Key (default)  meaning"), a meaning of two lines indented under it.
std::string ProfileKeysHelp();

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
// not a plain integer (with the number read from it) or lies outside the values that mean
// something. Names match without regard to case, as the profile reader matches them.
// Texts are Windows-1252, as the file is.
//
// With `startMistakes`, the lines that leave a guarding key (every key of [Access], and
// [TCPIP] ListenAddress) other than it may have been meant go there instead: velweb does
// not start with them, for a server that runs open to everyone, or listens on every
// address, because of a typing mistake is worse than one that does not run. They are an
// unknown section nearest to [Access], an unknown key nearest to a guarding one (or such
// a key in another section, or in none), a guarding key given twice, and a guarding
// number that is no whole number or is negative.
std::vector<std::string> CheckProfileKeys(const std::string& content, const std::string& fileName,
                                          std::vector<std::string>* startMistakes = nullptr);

// Why the profile `fileName` of the program directory is there but cannot be used as a
// whole (it cannot be opened or read, is no regular file, or holds a zero byte, which
// no text profile does); the empty text when it is missing or can be read. A profile
// that is there is never read as if it were missing: its [Access] keys would be lost.
std::string ProfileProblem(const std::string& fileName);

}  // namespace vel
