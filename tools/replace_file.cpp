#include "replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "file_io.h"

namespace velctl {

bool ReplaceFile(const std::string& path, const std::string& bytes, const NewFileMode& fresh,
                 std::string& error) {
  struct stat existing {};
  const bool exists = stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
  const std::string temporary = path + ".velctl-tmp";
  const auto fail = [&](const std::string& name) {
    error = "cannot write " + name + ": " + std::strerror(errno);
    unlink(temporary.c_str());
    return false;
  };
  unlink(temporary.c_str());
  // Until it has its final mode the temporary file is the owner's alone.
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      exists || fresh.exact ? 0600 : fresh.mode);
  bool inPlace = false;
  if (fd < 0) {
    if (!exists) return fail(temporary);
    inPlace = true;  // no file can be made beside it
  } else {
    struct stat made {};
    bool ok = vel::WriteAll(fd, bytes) && fstat(fd, &made) == 0;
    if (ok && exists) {
      if ((made.st_uid != existing.st_uid || made.st_gid != existing.st_gid) &&
          fchown(fd, existing.st_uid, existing.st_gid) != 0)
        inPlace = true;
      else
        ok = fchmod(fd, existing.st_mode & 07777) == 0;
    } else if (ok) {
      // Best effort: only a member of the group (or root) may give a file to it.
      if (fresh.group != gid_t(-1)) (void)!fchown(fd, uid_t(-1), fresh.group);
      if (fresh.exact) ok = fchmod(fd, fresh.mode & 07777) == 0;
    }
    ok = ok && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (!ok) return fail(temporary);
    if (inPlace) {
      unlink(temporary.c_str());
    } else if (rename(temporary.c_str(), path.c_str()) != 0) {
      return fail(path);
    }
  }
  if (inPlace && !vel::RewriteWholeFile(path, bytes)) return fail(path);
  return true;
}

}  // namespace velctl
