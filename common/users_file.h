// The users file VELWEB.USR of the program directory: who may use the server, with what
// password, to page whom, how often, and whether they see everyone's history. velctl
// writes it (velctl user ...), velweb reads it at the start and again when it changes.
//
// One section per user, the section's name the user name (as HTTP Basic credentials give
// it; Windows-1252 like every file of the family), its keys:
//   Password=   the hash of the user's password, as `velctl passwd` prints it (required)
//   Receivers=  the receivers the user may page: names and patterns in which "*" stands
//               for any run of characters, separated by commas; absent: all of them
//   SendLimit=  messages per minute (absent: [Access] SendLimit of VELWEB.INI)
//   Role=       sender (the default) or supervisor (also sees everyone's history)
// Lines that begin with ";" or "#" and blank lines are nothing. Anything else that cannot
// be read as meant (a key outside a section, an unknown key or role, a hash that is not
// usable, a pattern or name that is empty, a user given twice, a name with ":" or a
// control character) makes the whole file unusable: ParseUsersFile says the first such
// line, and the server never opens up because of a mistake in it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vel {

inline constexpr const char* kUsersFile = "VELWEB.USR";

enum class UserRole { kSender, kSupervisor };

struct UserAccount {
  std::string name;
  std::string passwordHash;
  std::vector<std::string> receivers;  // names and patterns; empty: every receiver
  std::optional<int> sendLimit;        // nothing: the [Access] one
  UserRole role = UserRole::kSender;

  // Whether the user may page the receiver `name` (matched exactly, "*" in a pattern
  // standing for any run of characters, none included).
  bool MayPage(std::string_view name) const;
  friend bool operator==(const UserAccount&, const UserAccount&) = default;
};

// The users of `bytes` (the file `fileName`, for the messages). False, with `error`
// naming the file, the line and what is wrong, when the file cannot be used.
bool ParseUsersFile(std::string_view bytes, const std::string& fileName,
                    std::vector<UserAccount>& users, std::string& error);

// The file's bytes for `users`, in their order, with CR LF line ends.
std::string UsersFileBytes(const std::vector<UserAccount>& users);

// Whether `name` matches `pattern`, in which "*" stands for any run of characters.
bool MatchesPattern(std::string_view pattern, std::string_view name);

const char* RoleName(UserRole role);

}  // namespace vel
