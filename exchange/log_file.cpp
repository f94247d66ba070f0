#include "log_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "text_output.h"

namespace velmar {
namespace {

constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;
constexpr int kSeparatorDashes = 68;
// Opens refused for want of the write bit that are tried again: another process that
// finished its own append may take the bit away between our chmod and our open.
constexpr int kOpenRetries = 2;
// A new log file is for its owner and group only: the lines carry the messages' texts.
constexpr mode_t kNewLogMode = 0640;
constexpr int kOpenFlags =
    O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

mode_t Writable(mode_t mode, bool writable) {
  return writable ? (mode | S_IWUSR) : (mode & ~kWriteBits);
}

// Adds the owner's write bit to, or removes every write bit from, the regular file named
// by path. The file is looked at through a descriptor that does not follow a link, and
// changed through that same descriptor, so nothing else ever has its mode changed. True
// when path names a regular file.
bool SetWritable(const char* path, bool writable) {
  const int fd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  const mode_t mode = info.st_mode & 07777;
  if (regular && Writable(mode, writable) != mode) {
    // fchmod does not take a path descriptor; its /proc name does.
    char name[64];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    chmod(name, Writable(mode, writable));
  }
  close(fd);
  return regular;
}

// Opens path for appending; -1 with errno set when it cannot be opened at once.
int OpenLogFile(const char* path) {
  // A device is not even opened: opening one may have effects of its own.
  struct stat info;
  if (lstat(path, &info) == 0 && (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode))) {
    errno = EINVAL;
    return -1;
  }
  for (int attempt = 0;; ++attempt) {
    const int fd = open(path, kOpenFlags, kNewLogMode);
    if (fd >= 0) return fd;
    const int error = errno;
    if (error != EACCES || attempt == kOpenRetries || !SetWritable(path, true)) {
      SetWritable(path, false);  // read-only again, whatever made the open fail
      errno = error;
      return -1;
    }
  }
}

// write() for a FIFO: when its reader goes away in between, the SIGPIPE that would end
// the calling program is kept back and dropped, and the write fails with EPIPE.
ssize_t WriteWithoutSigpipe(int fd, const char* data, std::size_t size) {
  sigset_t pipeSignal, old, pending;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigpending(&pending);
  const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
  const ssize_t n = write(fd, data, size);
  const int error = errno;
  if (n < 0 && error == EPIPE && !alreadyPending) {
    const timespec noWait{0, 0};
    sigtimedwait(&pipeSignal, nullptr, &noWait);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = error;
  return n;
}

// Writes the line in one piece. A piece of it that a full disk let through is cut off
// again, so the file keeps whole lines only; the line is not tried again in pieces.
int WriteLine(int fd, bool regular, const char* line, std::size_t size) {
  ssize_t n;
  do {
    n = regular ? write(fd, line, size) : WriteWithoutSigpipe(fd, line, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno;
  if (static_cast<std::size_t>(n) == size) return 0;
  if (regular) {
    // After an append the offset is the end of what we wrote; cut only while nobody has
    // appended behind it. Should the cut fail, the piece stays.
    const off_t end = lseek(fd, 0, SEEK_CUR);
    struct stat info;
    if (end >= n && fstat(fd, &info) == 0 && info.st_size == end) {
      [[maybe_unused]] const int cut = ftruncate(fd, end - n);
    }
  }
  return ENOSPC;
}

// The bytes of the log-file copy of one entry, made in memory before anything is written.
class LogLine {
 public:
  explicit LogLine(const char* entry) {
    if (std::strcmp(entry, kSeparatorEntry) == 0) {
      size_ = 2 + kSeparatorDashes + 4;
      char* out = Allocate();
      std::memcpy(out, "\r\n", 2);
      std::memset(out + 2, '-', kSeparatorDashes);
      std::memcpy(out + 2 + kSeparatorDashes, "\r\n\r\n", 4);
      return;
    }
    const std::size_t length = std::strlen(entry);
    size_ = CrLfSize(entry, length) + 2;
    char* out = Allocate();
    if (out != nullptr) std::memcpy(CopyWithCrLf(entry, length, out), "\r\n", 2);
  }

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  // The usual line fits on the stack; a longer one goes to the heap.
  char* Allocate() {
    if (size_ <= sizeof small_) return data_ = small_;
    large_.reset(new (std::nothrow) char[size_]);
    return data_ = large_.get();
  }

  std::size_t size_ = 0;
  char* data_ = nullptr;
  std::unique_ptr<char[]> large_;
  char small_[1024];
};

}  // namespace

int AppendToLogFile(const char* path, const char* entry) {
  const LogLine line(entry);
  if (line.data() == nullptr) return ENOMEM;
  const int fd = OpenLogFile(path);
  if (fd < 0) return errno;

  int error = 0;
  struct stat info;
  if (fstat(fd, &info) != 0) {
    error = errno;
  } else if (!S_ISREG(info.st_mode) && !S_ISFIFO(info.st_mode)) {
    error = EINVAL;  // swapped for a device after we looked
  } else {
    const bool regular = S_ISREG(info.st_mode);
    error = WriteLine(fd, regular, line.data(), line.size());
    const mode_t mode = info.st_mode & 07777;
    if (regular && Writable(mode, false) != mode) fchmod(fd, Writable(mode, false));
  }
  if (close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  return error;
}

}  // namespace velmar
