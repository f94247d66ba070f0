#include "velctl_users.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>

#include "command_text.h"
#include "file_io.h"
#include "region_link.h"
#include "replace_file.h"
#include "users_file.h"
#include "vel_proc.h"
#include "velctl_cli.h"

namespace velctl {

namespace {

using vel::UserAccount;
using Users = std::vector<UserAccount>;

const char kUserUsage[] =
    "user add NAME [--receivers LIST] [--send-limit N] [--role ROLE], user passwd NAME, "
    "user remove NAME or user list";

// The users file of velctl's directory, found as velweb there finds it.
std::string UsersFilePath() { return vel::ResolveInDir(vel::ExecutableDir(), vel::kUsersFile); }

// The users of the file; a missing file holds none. False, with the reason printed, when
// it cannot be read or parsed (the parser names the line).
bool ReadUsers(const std::string& path, Users& users) {
  users.clear();
  const std::optional<std::string> bytes = vel::ReadWholeFile(path);
  if (!bytes) {
    if (errno == ENOENT) return true;
    std::fprintf(stderr, "velctl: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  std::string error;
  if (vel::ParseUsersFile(*bytes, path, users, error)) return true;
  std::fprintf(stderr, "velctl: %s\nvelctl: the file is left as it is; mend that line first\n",
               error.c_str());
  return false;
}

Users::iterator Find(Users& users, const std::string& name) {
  return std::find_if(users.begin(), users.end(),
                      [&](const UserAccount& user) { return user.name == name; });
}

int NoSuchUser(const std::string& name, const std::string& path) {
  std::fprintf(stderr, "velctl: there is no user %s in %s\n", EscapeBytes(name, Terminal()).c_str(),
               path.c_str());
  return kFailed;
}

// Reads the file, lets `change` change its users (it returns an exit status) and writes
// them back, all under a lock on the directory, so that two velctl at once lose neither
// change. A new file is the owner's and group velmar's (where that group exists and this
// account may give files to it) and nobody else's: it holds password hashes.
int ChangeUsers(const std::string& path, const std::function<int(Users&)>& change) {
  const std::string dir = path.substr(0, path.rfind('/') + 1);
  const vel::FileDescriptor lock(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!lock.valid() || flock(lock.get(), LOCK_EX) != 0) {
    std::fprintf(stderr, "velctl: cannot lock %s: %s\n", dir.c_str(), std::strerror(errno));
    return kFailed;
  }
  Users users;
  if (!ReadUsers(path, users)) return kFailed;
  if (const int status = change(users); status != kOk) return status;
  const std::string bytes = vel::UsersFileBytes(users);
  // What the arguments allow is checked before; this proves velweb reads back the same.
  Users reread;
  std::string error;
  if (!vel::ParseUsersFile(bytes, path, reread, error) || reread != users) {
    std::fprintf(stderr, "velctl: the users cannot be written as given: %s\n",
                 error.empty() ? "they would read back otherwise" : error.c_str());
    return kFailed;
  }
  NewFileMode fresh{0640, true, gid_t(-1)};
  if (const group* velmar = getgrnam(velmar::kRegionGroup)) fresh.group = velmar->gr_gid;
  if (!ReplaceFile(path, bytes, fresh, error)) {
    std::fprintf(stderr, "velctl: %s\n", error.c_str());
    return kFailed;
  }
  return kOk;
}

bool HoldsControl(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The NAME argument as the users file holds it; false (a usage error printed) when it
// cannot stand there: HTTP Basic credentials carry no ":" and no control character, and
// the file drops the blanks around a name.
bool UserName(const std::string& argument, std::string& name, int& status) {
  status = kUsage;
  if (!TextArgument(argument, name)) return false;
  if (name.empty()) {
    UsageError("a user needs a name");
    return false;
  }
  if (name.find(':') != std::string::npos || HoldsControl(name) || IsBlank(name.front()) ||
      IsBlank(name.back())) {
    UsageError("a user name holds no \":\", no control character and no blank at either end");
    return false;
  }
  return true;
}

// --receivers LIST: names and patterns separated by commas, blanks around them dropped.
bool ReceiverList(const std::string& argument, std::vector<std::string>& receivers) {
  std::string list;
  if (!TextArgument(argument, list)) return false;
  receivers.clear();
  for (size_t from = 0; from <= list.size();) {
    size_t comma = list.find(',', from);
    if (comma == std::string::npos) comma = list.size();
    std::string name = list.substr(from, comma - from);
    from = comma + 1;
    while (!name.empty() && IsBlank(name.back())) name.pop_back();
    name.erase(0, std::min(name.find_first_not_of(" \t"), name.size()));
    if (name.empty()) {
      UsageError("--receivers holds an empty name (two commas, or one at an end)");
      return false;
    }
    if (HoldsControl(name)) {
      UsageError("a receiver name or pattern holds no control character");
      return false;
    }
    receivers.push_back(name);
  }
  return true;
}

int Add(const std::vector<std::string>& args) {
  UserAccount account;
  std::optional<std::string> nameArgument;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool takesValue = a == "--receivers" || a == "--send-limit" || a == "--role";
    if (takesValue && i + 1 == args.size()) return UsageError(a + " needs a value");
    if (a == "--receivers") {
      if (!ReceiverList(args[++i], account.receivers)) return kUsage;
    } else if (a == "--send-limit") {
      const std::string& value = args[++i];
      int limit = -1;
      const auto [end, code] = std::from_chars(value.data(), value.data() + value.size(), limit);
      if (code != std::errc() || end != value.data() + value.size() || limit < 0)
        return UsageError("--send-limit takes a whole number of messages a minute, 0 or more");
      account.sendLimit = limit;
    } else if (a == "--role") {
      const std::string& role = args[++i];
      if (role != "sender" && role != "supervisor")
        return UsageError("--role is sender or supervisor, not " + role);
      account.role = role == "supervisor" ? vel::UserRole::kSupervisor : vel::UserRole::kSender;
    } else if (a.rfind("--", 0) == 0 && a.size() > 2) {
      return UsageError("unknown option " + a);
    } else if (nameArgument) {
      return UsageError("user add takes one NAME");
    } else {
      nameArgument = a;
    }
  }
  if (!nameArgument) return UsageError("user add takes a NAME");
  int status = kUsage;
  if (!UserName(*nameArgument, account.name, status)) return status;

  // Refused before the password is asked for, and once more under the lock.
  const std::string path = UsersFilePath();
  const auto exists = [&](Users& users) {
    if (Find(users, account.name) == users.end()) return kOk;
    std::fprintf(stderr, "velctl: the user %s is already in %s\n",
                 EscapeBytes(account.name, Terminal()).c_str(), path.c_str());
    return kFailed;
  };
  Users users;
  if (!ReadUsers(path, users)) return kFailed;
  if (exists(users) != kOk) return kFailed;
  account.passwordHash = AskNewPasswordHash();
  if (account.passwordHash.empty()) return kFailed;
  return ChangeUsers(path, [&](Users& now) {
    if (const int refused = exists(now); refused != kOk) return refused;
    now.push_back(account);
    return kOk;
  });
}

int Passwd(const std::string& argument) {
  std::string name;
  int status = kUsage;
  if (!UserName(argument, name, status)) return status;
  const std::string path = UsersFilePath();
  Users users;
  if (!ReadUsers(path, users)) return kFailed;
  if (Find(users, name) == users.end()) return NoSuchUser(name, path);
  const std::string hash = AskNewPasswordHash();
  if (hash.empty()) return kFailed;
  return ChangeUsers(path, [&](Users& now) {
    const auto user = Find(now, name);
    if (user == now.end()) return NoSuchUser(name, path);
    user->passwordHash = hash;
    return kOk;
  });
}

int Remove(const std::string& argument) {
  std::string name;
  int status = kUsage;
  if (!UserName(argument, name, status)) return status;
  const std::string path = UsersFilePath();
  return ChangeUsers(path, [&](Users& now) {
    const auto user = Find(now, name);
    if (user == now.end()) return NoSuchUser(name, path);
    now.erase(user);
    return kOk;
  });
}

// "alice: sender; send limit 10 a minute; receivers GROUP1, J*", never the hash.
int List() {
  Users users;
  if (!ReadUsers(UsersFilePath(), users)) return kFailed;
  for (const UserAccount& user : users) {
    std::string receivers;
    for (const std::string& name : user.receivers) {
      receivers += (receivers.empty() ? "" : ", ") + EscapeBytes(name, Terminal());
    }
    const std::string line =
        EscapeBytes(user.name, Terminal()) + ": " + vel::RoleName(user.role) + "; send limit " +
        (user.sendLimit ? std::to_string(*user.sendLimit) + " a minute" : "the [Access] one") +
        "; receivers " + (receivers.empty() ? "all" : receivers);
    if (!PrintLine(line)) return kFailed;
  }
  return kOk;
}

}  // namespace

int UserCommand(const std::vector<std::string>& args) {
  const std::string what = args.empty() ? "" : args[0];
  if (what == "add") return Add({args.begin() + 1, args.end()});
  if (what == "passwd" && args.size() == 2) return Passwd(args[1]);
  if (what == "remove" && args.size() == 2) return Remove(args[1]);
  if (what == "list" && args.size() == 1) return List();
  return UsageError(kUserUsage);
}

}  // namespace velctl
