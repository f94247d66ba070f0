// Whole-file reading and writing for the module's own files.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <optional>
#include <string>

namespace vel {

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Writes all of `content` at `fd`'s position, going on after interruptions; false, with
// errno telling why, when the system takes less.
bool WriteAll(int fd, const std::string& content);

// Opens `path` for reading without ever waiting, and only when it is a regular file: a
// FIFO (whose open and reads wait for a writer that may never come), a device or a
// socket under the name of a file counts as missing. The descriptor (close-on-exec,
// non-blocking, which changes nothing for a regular file), or -1 with errno: as open()
// sets it, or EINVAL when the name is no regular file.
int OpenRegularFile(const std::string& path);

// The whole content of a regular file, or nothing when it cannot be opened or read
// (errno tells why; EINVAL: the name is no regular file). Never waits (OpenRegularFile).
std::optional<std::string> ReadWholeFile(const std::string& path);

// The same for a file that should be small: nothing too when it holds more than `limit`
// bytes (it may have grown since its size was looked at).
std::optional<std::string> ReadWholeFile(const std::string& path, size_t limit);

// Replaces `path` with `content` as a whole: written to a temporary file beside it, then
// renamed over it, so that a reader never sees half a file. The new file gets `mode`
// (the process's umask applies when `applyUmask` is true) and, where the process may
// give it, the owner `uid`/`gid` (-1 leaves the process's own). False on any failure,
// with errno telling why, and then `path` is unchanged.
bool ReplaceWholeFile(const std::string& path, const std::string& content, unsigned mode,
                      bool applyUmask, int uid = -1, int gid = -1);

// Rewrites the existing file `path` in place with `content`, for where no file can be
// made beside it. Not atomic: a reader may see the change half done. False, with errno
// telling why, on failure.
bool RewriteWholeFile(const std::string& path, const std::string& content);

}  // namespace vel
