// The program directory and the case-blind lookup of bare names in a directory.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <string>

#include "text_case.h"
#include "vel_proc.h"

namespace vel {

namespace {

std::string& ProgramDirStorage() {
  static std::string dir;
  return dir;
}

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

}  // namespace

const std::string& ProgramDir() { return ProgramDirStorage(); }

void SetProgramDir(std::string dir) {
  if (dir.empty()) {
    dir = "./";  // the working directory, never the root
  } else if (dir.back() != '/') {
    dir.push_back('/');
  }
  ProgramDirStorage() = std::move(dir);
}

std::string ExecutableDir() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return "./";
  std::string path(buffer, static_cast<size_t>(length));
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "./";
  return path.substr(0, slash + 1);
}

std::string ResolveInDir(const std::string& dir, const std::string& name) {
  const std::string asSpelt = dir + name;
  if (name.empty() || name.find('/') != std::string::npos) return asSpelt;

  struct stat info {};
  if (lstat(asSpelt.c_str(), &info) == 0) return asSpelt;

  std::unique_ptr<DIR, DirCloser> listing(opendir(dir.empty() ? "." : dir.c_str()));
  if (!listing) return asSpelt;
  std::string best;
  while (const dirent* entry = readdir(listing.get())) {
    const std::string candidate = entry->d_name;
    if (EqualsAsciiNoCase(candidate, name) && (best.empty() || candidate < best)) {
      best = candidate;
    }
  }
  return best.empty() ? asSpelt : dir + best;
}

std::string ProgramFile(const std::string& name) { return ResolveInDir(ProgramDir(), name); }

}  // namespace vel
