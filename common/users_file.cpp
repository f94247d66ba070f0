#include "users_file.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "password_hash.h"

namespace vel {

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

bool SameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool HoldsControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

}  // namespace

bool MatchesPattern(std::string_view pattern, std::string_view name) {
  // The classic walk with one point to go back to: linear in both lengths.
  size_t p = 0, n = 0, star = std::string_view::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = n;
    } else if (p < pattern.size() && pattern[p] == name[n]) {
      ++p;
      ++n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool UserAccount::MayPage(std::string_view name) const {
  if (receivers.empty()) return true;
  return std::any_of(receivers.begin(), receivers.end(),
                     [&](const std::string& pattern) { return MatchesPattern(pattern, name); });
}

const char* RoleName(UserRole role) {
  return role == UserRole::kSupervisor ? "supervisor" : "sender";
}

bool ParseUsersFile(std::string_view bytes, const std::string& fileName,
                    std::vector<UserAccount>& users, std::string& error) {
  std::vector<UserAccount> read;
  std::vector<bool> hasPassword;
  size_t number = 0;
  size_t sectionLine = 0;
  auto fail = [&](size_t line, const std::string& what) {
    error = fileName + " line " + std::to_string(line) + ": " + what;
    return false;
  };
  auto done = [&]() {
    if (!read.empty() && !hasPassword.back()) {
      return fail(sectionLine, "[" + read.back().name + "] has no Password=");
    }
    return true;
  };
  for (size_t at = 0; at <= bytes.size();) {
    size_t end = bytes.find('\n', at);
    if (end == std::string_view::npos) end = bytes.size();
    const std::string_view line = Trim(bytes.substr(at, end - at));
    at = end + 1;
    ++number;
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']') return fail(number, "a section name must end with ]");
      if (!done()) return false;
      const std::string_view name = Trim(line.substr(1, line.size() - 2));
      if (name.empty()) return fail(number, "a user needs a name");
      if (name.find(':') != std::string_view::npos || HoldsControl(name)) {
        return fail(number, "the user name " + std::string(name) +
                                " holds \":\" or a control character, which HTTP Basic "
                                "credentials cannot carry");
      }
      for (const UserAccount& user : read) {
        if (user.name == name)
          return fail(number, "the user " + std::string(name) + " is given twice");
      }
      read.push_back({std::string(name), {}, {}, std::nullopt, UserRole::kSender});
      hasPassword.push_back(false);
      sectionLine = number;
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      return fail(number, "\"" + std::string(line) + "\" is neither a [user] nor a key=value line");
    }
    const std::string_view key = Trim(line.substr(0, equals));
    const std::string_view value = Trim(line.substr(equals + 1));
    if (read.empty()) return fail(number, std::string(key) + " stands before any [user]");
    UserAccount& user = read.back();
    if (SameNoCase(key, "Password")) {
      std::string why;
      if (!UsablePasswordHash(std::string(value), why)) {
        return fail(number, "the password of " + user.name + " is no usable hash (" + why +
                                "): write the line velctl passwd prints");
      }
      user.passwordHash = std::string(value);
      hasPassword.back() = true;
    } else if (SameNoCase(key, "Receivers")) {
      user.receivers.clear();
      for (size_t from = 0; from <= value.size();) {
        size_t comma = value.find(',', from);
        if (comma == std::string_view::npos) comma = value.size();
        const std::string_view name = Trim(value.substr(from, comma - from));
        from = comma + 1;
        if (name.empty()) {
          return fail(number, "Receivers of " + user.name +
                                  " holds an empty name (two commas, or "
                                  "one at an end)");
        }
        user.receivers.emplace_back(name);
      }
    } else if (SameNoCase(key, "SendLimit")) {
      int limit = 0;
      const auto [end, code] = std::from_chars(value.data(), value.data() + value.size(), limit);
      if (code != std::errc() || end != value.data() + value.size() || limit < 0) {
        return fail(number, "SendLimit of " + user.name + " must be a whole number, 0 or more");
      }
      user.sendLimit = limit;
    } else if (SameNoCase(key, "Role")) {
      if (SameNoCase(value, "sender")) {
        user.role = UserRole::kSender;
      } else if (SameNoCase(value, "supervisor")) {
        user.role = UserRole::kSupervisor;
      } else {
        return fail(number, "Role of " + user.name + " is " + std::string(value) +
                                "; it is sender or supervisor");
      }
    } else {
      return fail(number, "unknown key " + std::string(key) +
                              "; the keys are Password, Receivers, SendLimit and Role");
    }
  }
  if (!done()) return false;
  users = std::move(read);
  return true;
}

std::string UsersFileBytes(const std::vector<UserAccount>& users) {
  std::string out;
  for (const UserAccount& user : users) {
    if (!out.empty()) out += "\r\n";
    out += "[" + user.name + "]\r\nPassword=" + user.passwordHash + "\r\n";
    if (!user.receivers.empty()) {
      out += "Receivers=";
      for (size_t i = 0; i < user.receivers.size(); ++i) {
        out += (i > 0 ? ", " : "") + user.receivers[i];
      }
      out += "\r\n";
    }
    if (user.sendLimit) out += "SendLimit=" + std::to_string(*user.sendLimit) + "\r\n";
    if (user.role != UserRole::kSender) out += std::string("Role=") + RoleName(user.role) + "\r\n";
  }
  return out;
}

}  // namespace vel
