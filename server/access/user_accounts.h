// The users of the users file VELWEB.USR (users_file.h) as the server uses them. Accounts
// are on once the file exists at the start; from then on the file is looked at every
// second and read again when it changed (its size, time or inode), so that a user added
// or removed counts within 2 s, without a restart.
//
// Accounts never fail open: a file that cannot be used stops the start (Load names the
// line); at a reload it leaves the last good users in place and says so once, until the
// file changes again; a file that goes away leaves them too (a restart without it turns
// accounts off). A file that appears while the server runs turns accounts on.
//
// Everything runs on the event loop's thread; the users are handed out as a snapshot
// that stays valid while a request holds it.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "users_file.h"

namespace vel {

class UserAccounts {
 public:
  using Users = std::vector<UserAccount>;

  // At the start: `path` read. False, with the reason (naming the line), when the file is
  // there and cannot be used; no file: accounts stay off.
  bool Load(const std::string& path, std::string& error);
  bool Active() const { return users_ != nullptr; }
  // The lines to log when the file changed since the last look (none when it did not).
  std::vector<std::string> Refresh();

  std::shared_ptr<const Users> All() const { return users_; }
  // The user called `name`, exactly; nullptr when there is none.
  static const UserAccount* Find(const Users& users, std::string_view name);

 private:
  struct Stamp {
    off_t size = 0;
    std::time_t time = 0;
    long nanoseconds = 0;
    ino_t inode = 0;
    bool operator==(const Stamp&) const = default;
  };
  static std::optional<Stamp> StampOf(const std::string& path);

  std::string path_;
  std::shared_ptr<const Users> users_;
  std::optional<Stamp> stamp_;  // of the last state looked at
};

}  // namespace vel
