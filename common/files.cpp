// FileExists, FindFiles and CopyMissingFiles: the module's view of a directory.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "file_io.h"
#include "text_case.h"
#include "vel_proc.h"

namespace vel {

namespace {

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

// Matches `name` against `pattern` ("*" and "?"), ignoring ASCII case. A run of "?" at
// the end of the pattern may also match fewer characters, down to none.
bool MatchesPattern(const std::string& pattern, const std::string& name) {
  size_t optionalFrom = pattern.size();
  while (optionalFrom > 0 && pattern[optionalFrom - 1] == '?') --optionalFrom;

  // ok[j]: the pattern from the current index on matches name from j on.
  const size_t n = name.size();
  std::vector<char> next(n + 1, 0);
  std::vector<char> ok(n + 1, 0);
  next[n] = 1;  // the empty pattern matches only the empty rest
  for (size_t i = pattern.size(); i-- > 0;) {
    const char p = pattern[i];
    for (size_t j = n + 1; j-- > 0;) {
      bool match = false;
      if (p == '*') {
        match = next[j] || (j < n && ok[j + 1]);
      } else if (p == '?') {
        match = (j < n && next[j + 1]) || (i >= optionalFrom && next[j]);
      } else {
        match = j < n && AsciiUpper(p) == AsciiUpper(name[j]) && next[j + 1];
      }
      ok[j] = match ? 1 : 0;
    }
    std::swap(ok, next);
  }
  return next[0] != 0;
}

bool IsRegularFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool HasWildcard(const std::string& text) { return text.find_first_of("*?") != std::string::npos; }

void SplitPath(const std::string& path, std::string& dir, std::string& pattern) {
  const size_t slash = path.rfind('/');
  dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  pattern = slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::vector<std::string> FindFiles(const std::string& path) {
  std::vector<std::string> names;
  std::string dir;
  std::string pattern;
  SplitPath(path, dir, pattern);
  if (pattern.empty() || path.find('\0') != std::string::npos) return names;

  std::unique_ptr<DIR, DirCloser> listing(opendir(dir.empty() ? "." : dir.c_str()));
  if (!listing) return names;
  while (const dirent* entry = readdir(listing.get())) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;
    if (!MatchesPattern(pattern, name)) continue;
    if (!IsRegularFile(dir + name)) continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool FileExists(const std::string& path) {
  std::string dir;
  std::string pattern;
  SplitPath(path, dir, pattern);
  if (pattern.empty() || pattern[0] == '.' || path.find('\0') != std::string::npos) {
    return false;
  }
  // The common case, a name spelt as on disk, needs no directory listing.
  if (!HasWildcard(pattern) && IsRegularFile(path)) return true;
  return !FindFiles(path).empty();
}

void CopyMissingFiles(const std::string& dir, const std::string& from, const std::string& to) {
  for (const std::string& name : FindFiles(dir + "*." + from)) {
    const std::string base = name.substr(0, name.find('.') + 1);
    const std::string working = ResolveInDir(dir, base + to);

    // Without waiting: a FIFO of that name, with no writer, would hold the start up.
    // Only a missing working copy is restored: one that is there but cannot be read (its
    // mode, its owner) holds settings that a copy would silently throw away.
    const int fd = open(working.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) close(fd);
    if (fd >= 0 || errno != ENOENT) continue;
    const auto content = ReadWholeFile(ResolveInDir(dir, base + from));
    if (!content) continue;
    // A profile may come to hold the password hash: it is not for every account.
    const unsigned mode = AsciiUpperText(to) == "INI" ? 0640 : 0666;
    ReplaceWholeFile(working, *content, mode, /*applyUmask=*/true);
  }
}

}  // namespace vel
