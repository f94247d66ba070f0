#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace vel {

bool WriteAll(int fd, const std::string& content) {
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;  // a write that takes nothing would never end
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

namespace {

// Creates `path` for writing, with no more access than `mode` from the start; a file of
// that name left behind by an earlier process with our pid that died mid-write is
// removed first.
int OpenNewFile(const std::string& path, unsigned mode) {
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(path.c_str(), flags, mode & 0666);
  if (fd < 0 && errno == EEXIST) {
    unlink(path.c_str());
    fd = open(path.c_str(), flags, mode & 0666);
  }
  return fd;
}

}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path) {
  return ReadWholeFile(path, std::string().max_size());
}

int OpenRegularFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

std::optional<std::string> ReadWholeFile(const std::string& path, size_t limit) {
  FileDescriptor fd(OpenRegularFile(path));
  if (!fd.valid()) return std::nullopt;
  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    if (static_cast<size_t>(n) > limit - content.size()) return std::nullopt;
    content.append(buffer, static_cast<size_t>(n));
  }
  return content;
}

bool ReplaceWholeFile(const std::string& path, const std::string& content, unsigned mode,
                      bool applyUmask, int uid, int gid) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string temporary = dir + "." + name + ".new" + std::to_string(getpid());

  FileDescriptor fd(OpenNewFile(temporary, mode));
  if (!fd.valid()) return false;

  int error = 0;
  auto failed = [&error] {
    if (error == 0) error = errno != 0 ? errno : EIO;
    return false;
  };
  bool ok = WriteAll(fd.get(), content) || failed();
  if (ok && (uid != -1 || gid != -1)) {
    // Best effort: only a privileged process may hand a file to another owner.
    (void)!fchown(fd.get(), static_cast<uid_t>(uid), static_cast<gid_t>(gid));
  }
  if (ok && !applyUmask) ok = fchmod(fd.get(), mode) == 0 || failed();
  if (ok && applyUmask) {
    // open() already applied the umask; this keeps the special bits of `mode` out.
    struct stat info {};
    ok = (fstat(fd.get(), &info) == 0 && fchmod(fd.get(), info.st_mode & mode & 07777) == 0) ||
         failed();
  }
  if (ok) ok = fsync(fd.get()) == 0 || failed();
  if (close(fd.release()) != 0 && ok) ok = failed();
  if (ok) ok = rename(temporary.c_str(), path.c_str()) == 0 || failed();
  if (!ok) {
    unlink(temporary.c_str());
    errno = error;
  }
  return ok;
}

bool RewriteWholeFile(const std::string& path, const std::string& content) {
  FileDescriptor fd(open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return false;
  // Written over the old bytes first and cut to length after, so that a write that fails
  // half-way leaves no shorter file than before.
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n =
        pwrite(fd.get(), content.data() + done, content.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  if (ftruncate(fd.get(), static_cast<off_t>(content.size())) != 0) return false;
  if (fsync(fd.get()) != 0) return false;
  const int fdNumber = fd.release();
  return close(fdNumber) == 0;
}

}  // namespace vel
