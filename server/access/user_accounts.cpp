#include "user_accounts.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "file_io.h"

namespace vel {

namespace {

// Far more than any site's users need.
constexpr size_t kLargestUsersFile = size_t{4} << 20;

}  // namespace

std::optional<UserAccounts::Stamp> UserAccounts::StampOf(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  return Stamp{info.st_size, info.st_mtim.tv_sec, info.st_mtim.tv_nsec, info.st_ino};
}

bool UserAccounts::Load(const std::string& path, std::string& error) {
  path_ = path;
  const std::string name = path.substr(path.rfind('/') + 1);
  stamp_ = StampOf(path);
  const std::optional<std::string> bytes = ReadWholeFile(path, kLargestUsersFile);
  if (!bytes) {
    if (errno == ENOENT) return true;  // no accounts
    error = "the users file " + name + " cannot be read: " + std::strerror(errno);
    return false;
  }
  Users users;
  if (!ParseUsersFile(*bytes, name, users, error)) return false;
  users_ = std::make_shared<const Users>(std::move(users));
  return true;
}

std::vector<std::string> UserAccounts::Refresh() {
  std::vector<std::string> lines;
  const std::optional<Stamp> stamp = StampOf(path_);
  if (stamp == stamp_) return lines;
  stamp_ = stamp;
  const std::string name = path_.substr(path_.rfind('/') + 1);
  if (!users_) {
    if (!stamp) return lines;
    // A users file made while the server runs turns accounts on: it can only close the
    // server, never open it. One that cannot be used lets nobody in but by the shared
    // password, until it can.
    users_ = std::make_shared<const Users>();
  }
  if (!stamp) {
    lines.push_back("Velmar Web Server keeps its " + std::to_string(users_->size()) +
                    " users: the users file " + name +
                    " is gone (a start without it turns "
                    "accounts off)");
    return lines;
  }
  const std::optional<std::string> bytes = ReadWholeFile(path_, kLargestUsersFile);
  Users users;
  std::string error;
  if (!bytes) {
    error = "it cannot be read: " + std::string(std::strerror(errno));
  } else if (!ParseUsersFile(*bytes, name, users, error)) {
    // The error names the file and the line.
  } else {
    users_ = std::make_shared<const Users>(std::move(users));
    lines.push_back("Velmar Web Server reloaded " + std::to_string(users_->size()) + " users");
    return lines;
  }
  lines.push_back("Velmar Web Server keeps its " + std::to_string(users_->size()) +
                  " users: the users file cannot be used: " + error);
  return lines;
}

const UserAccount* UserAccounts::Find(const Users& users, std::string_view name) {
  for (const UserAccount& user : users) {
    if (user.name == name) return &user;
  }
  return nullptr;
}

}  // namespace vel
