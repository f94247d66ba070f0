#include "log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "text_output.h"

namespace velmar {
namespace {

constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

// Only regular files carry the read-only attribute: a device or a pipe named as the log
// file must not have its permissions changed.
void SetWritable(const char* path, bool writable) {
  struct stat info;
  if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return;
  const mode_t mode = info.st_mode & 07777;
  const mode_t wanted = writable ? (mode | S_IWUSR) : (mode & ~kWriteBits);
  if (wanted != mode) chmod(path, wanted);
}

}  // namespace

void AppendToLogFile(const char* path, const char* entry) {
  SetWritable(path, true);
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd >= 0) {
    TextOutput out(fd);
    if (std::strcmp(entry, kSeparatorEntry) == 0) {
      char dashes[68];
      std::memset(dashes, '-', sizeof dashes);
      out.Write("\n", 1);
      out.Write(dashes, sizeof dashes);
      out.Write("\n\n", 2);
    } else {
      out.Write(entry, std::strlen(entry));
      out.Write("\n", 1);
    }
    out.Flush();
    close(fd);
  }
  SetWritable(path, false);
}

}  // namespace velmar
