#include "kept_commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>

#include "command_entry.h"
#include "event_log.h"
#include "file_io.h"
#include "vel_proc.h"
#include "velmar_library.h"

namespace vel {

namespace {

constexpr char kTerminator = '\xFF';
constexpr mode_t kKeptMode = 0640;

std::atomic<uint64_t> g_keptTotal{0};
std::atomic<uint64_t> g_handedBackTotal{0};

// Exchange thread only: kept messages wait in the file for room in the buffer.
bool g_keptWaiting = false;

std::string Count(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

bool IsRegular(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

// Opens `path` without following a link and without waiting (a FIFO opens at once); -1
// with errno EINVAL when it opened as anything but a regular file.
int OpenRegular(const std::string& path, int flags, mode_t mode = 0) {
  const int fd = open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd < 0 || IsRegular(fd)) return fd;
  close(fd);
  errno = EINVAL;
  return -1;
}

bool WriteAt(int fd, const char* data, size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t n = pwrite(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

// One entry of the file: a piece between terminators.
struct Entry {
  size_t offset;
  size_t size;
  bool terminated;
};

std::vector<Entry> Entries(const std::string& bytes) {
  std::vector<Entry> entries;
  size_t start = 0;
  for (size_t end; (end = bytes.find(kTerminator, start)) != std::string::npos; start = end + 1) {
    if (end > start) entries.push_back({start, end - start, true});
  }
  if (start < bytes.size()) entries.push_back({start, bytes.size() - start, false});
  return entries;
}

// An entry that the command buffer can never take whole, or that is not whole itself.
bool NeverFits(const std::string& bytes, const Entry& entry) {
  return !entry.terminated || entry.size > kLargestCommandEntry ||
         std::memchr(bytes.data() + entry.offset, '\0', entry.size) != nullptr;
}

std::optional<std::string> ReadUpTo(int fd, size_t limit) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return std::nullopt;
  if (static_cast<size_t>(info.st_size) > limit) {
    errno = EFBIG;
    return std::nullopt;
  }
  std::string bytes(static_cast<size_t>(info.st_size), '\0');
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;  // shrunk meanwhile
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

std::string Reason(int error) {
  switch (error) {
    case ELOOP:
      return "it is a symbolic link";
    case EINVAL:
      return "it is not a regular file";
    case EFBIG:
      return "it is larger than " + std::to_string(kKeptFileLimit >> 20) + " MiB";
    default:
      return std::strerror(error);
  }
}

}  // namespace

std::string KeptCommandsBytes(const std::vector<std::string>& commands) {
  std::string bytes;
  for (const std::string& command : commands) bytes += command + kTerminator;
  return bytes;
}

bool KeepInFront(const std::string& path, const std::vector<std::string>& commands,
                 std::vector<std::string>& notKept) {
  std::string existing;
  const int fd = OpenRegular(path, O_RDONLY);
  if (fd >= 0) {
    FileDescriptor file(fd);
    const std::optional<std::string> bytes = ReadUpTo(fd, kKeptFileLimit);
    if (!bytes) {
      notKept = commands;
      return false;
    }
    existing = *bytes;
  } else if (errno != ENOENT && errno != ELOOP && errno != EINVAL) {
    // A link or a FIFO under the name holds nothing of ours: it is replaced.
    notKept = commands;
    return false;
  }
  std::string front;
  size_t kept = 0;
  for (; kept < commands.size(); ++kept) {
    const size_t size = commands[kept].size() + 1;
    if (front.size() + size + existing.size() > kKeptFileLimit) break;
    front += commands[kept] + kTerminator;
  }
  notKept.assign(commands.begin() + static_cast<long>(kept), commands.end());
  if (kept == 0) return true;
  if (!ReplaceWholeFile(path, front + existing, kKeptMode, /*applyUmask=*/true)) {
    notKept = commands;
    return false;
  }
  return true;
}

bool AppendToKeptFile(const std::string& path, const std::string& bytes) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT;
  int fd = OpenRegular(path, kFlags, kKeptMode);
  if (fd < 0 && (errno == ELOOP || errno == EINVAL || errno == ENXIO)) {
    // A link or a FIFO in the program directory is no place for messages: it goes, and
    // what it led to stays untouched.
    if (unlink(path.c_str()) != 0) return false;
    fd = OpenRegular(path, kFlags | O_EXCL, kKeptMode);
  }
  if (fd < 0) return false;
  FileDescriptor file(fd);
  struct stat info {};
  if (fstat(fd, &info) != 0) return false;
  // Whole or not at all: a write cut short is taken back.
  if (!WriteAt(fd, bytes.data(), bytes.size(), info.st_size) || fsync(fd) != 0) {
    const int error = errno;
    [[maybe_unused]] const int undone = ftruncate(fd, info.st_size);
    errno = error;
    return false;
  }
  return true;
}

HandBackOutcome HandBackKeptFile(const std::string& path, const std::string& setAsidePath,
                                 const std::function<bool(const std::string&)>& hand) {
  HandBackOutcome outcome;
  const int fd = OpenRegular(path, O_RDWR);
  if (fd < 0) {
    if (errno != ENOENT) outcome.why = Reason(errno);
    return outcome;
  }
  FileDescriptor file(fd);
  const std::optional<std::string> bytes = ReadUpTo(fd, kKeptFileLimit);
  if (!bytes) {
    outcome.why = Reason(errno);
    return outcome;
  }
  outcome.read = true;
  const std::vector<Entry> entries = Entries(*bytes);
  std::vector<bool> gone(entries.size(), false);
  bool refused = false;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& entry = entries[i];
    const std::string command = bytes->substr(entry.offset, entry.size);
    if (NeverFits(*bytes, entry)) {
      if (!AppendToKeptFile(setAsidePath, command + kTerminator)) continue;
      ++outcome.setAside;
    } else if (refused || !hand(command)) {
      refused = true;  // no room, or no region: this one and the rest wait, in order
      continue;
    } else {
      ++outcome.handed;
    }
    gone[i] = true;
    // Marked as soon as it is gone: overwritten with terminators, it reads as nothing.
    const std::string marks(entry.size, kTerminator);
    WriteAt(fd, marks.data(), marks.size(), static_cast<off_t>(entry.offset));
  }
  std::string rest;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (gone[i]) continue;
    ++outcome.left;
    rest.append(*bytes, entries[i].offset, entries[i].size);
    if (entries[i].terminated) rest += kTerminator;
  }
  if (outcome.left == 0) {
    unlink(path.c_str());
  } else if (outcome.handed + outcome.setAside > 0) {
    // What waits, without the marks; the order stays.
    ReplaceWholeFile(path, rest, kKeptMode, /*applyUmask=*/true);
  }
  return outcome;
}

void KeepWaitingCommands(
    const std::function<std::vector<std::string>(const std::vector<std::string>&)>& keepOf) {
  VelmarLibrary& library = VelmarLibrary::Instance();
  const std::optional<int32_t> waiting = library.GetCommandCount();
  if (!waiting) return;  // no library: nothing was handed over
  // The library's own test: the region goes with this process when it is the last one
  // attached, whatever processes that were killed left in the count. When the library
  // cannot tell, the messages are kept: kept, they only wait for the next start.
  const int32_t last = library.GetLastAttached().value_or(-1);
  if (*waiting < 0) {
    WriteLogFromExchange(
        "Velmar Web Server could not count the waiting messages: the exchange stayed locked");
    if (last == 0) return;
  } else if (*waiting == 0) {
    return;
  } else if (last == 0) {
    WriteLogFromExchange(
        "Velmar Web Server leaves " +
        Count(static_cast<size_t>(*waiting), "waiting message", "waiting messages") +
        " to the alarm server");
    return;
  }
  // Last: with this process the region goes, and the messages with it.
  std::vector<std::string> commands;
  for (;;) {
    const std::optional<std::string> command = library.GetCommandEntry();
    if (!command || command->empty()) break;
    commands.push_back(*command);
  }
  if (keepOf) commands = keepOf(commands);
  if (commands.empty()) return;
  // What the buffer held was handed over before what still waits in the file.
  std::vector<std::string> notKept;
  const bool written = KeepInFront(ProgramFile(kKeptCommandsFile), commands, notKept);
  const std::string why =
      written ? "it would grow past " + std::to_string(kKeptFileLimit >> 20) + " MiB"
              : std::strerror(errno);
  const size_t kept = commands.size() - notKept.size();
  if (kept > 0) {
    g_keptTotal += kept;
    WriteLogFromExchange("Velmar Web Server kept " +
                         Count(kept, "waiting message", "waiting messages") +
                         " for its next start");
  }
  if (notKept.empty()) return;
  const std::string lost = "Velmar Web Server could not keep " +
                           Count(notKept.size(), "waiting message", "waiting messages") + " in " +
                           kKeptCommandsFile + ": " + why;
  WriteLogFromExchange(lost);
  WarnFromExchange(lost + "; they are written here, to be sent again:");
  // The file could not hold them (a full disk, say): standard error, and the journal
  // behind it under systemd, is the one place left that can.
  for (size_t i = 0; i < notKept.size(); ++i) {
    WarnFromExchange("not kept " + std::to_string(i + 1) + " of " + std::to_string(notKept.size()) +
                     ": " + DescribeCommand(notKept[i]));
  }
}

std::string DescribeCommand(const std::string& command) {
  const CommandParts parts = SplitCommand(command);
  const std::string receivers = JoinedNames(ReceiverNames(parts.receivers));
  return "to " + (receivers.empty() ? std::string("(no receiver)") : receivers) + ": " +
         parts.message;
}

namespace {

void HandBack(bool quiet) {
  const HandBackOutcome outcome = HandBackKeptFile(
      ProgramFile(kKeptCommandsFile), ProgramFile(kSetAsideCommandsFile),
      [](const std::string& command) {
        const std::optional<int32_t> stored = VelmarLibrary::Instance().SetCommandEntry(command);
        return stored && *stored == 1;
      });
  g_keptWaiting = outcome.read && outcome.left > 0;
  if (quiet && outcome.handed == 0 && outcome.setAside == 0) return;
  if (!outcome.read) {
    if (!outcome.why.empty()) {
      WriteLogFromExchange(std::string("Velmar Web Server hands back nothing from ") +
                           kKeptCommandsFile + ": " + outcome.why);
    }
    return;
  }
  if (outcome.setAside > 0) {
    WriteLogFromExchange("Velmar Web Server set aside " +
                         Count(outcome.setAside, "kept message", "kept messages") + " in " +
                         kSetAsideCommandsFile +
                         ": too long for the command buffer, holding a zero byte or cut short");
  }
  g_handedBackTotal += outcome.handed;
  if (outcome.handed == 0 && outcome.left == 0) return;
  std::string line =
      "Velmar Web Server handed back " + Count(outcome.handed, "kept message", "kept messages");
  if (outcome.left > 0) {
    line += "; " + std::to_string(outcome.left) + " wait in " + kKeptCommandsFile;
  }
  WriteLogFromExchange(line);
}

}  // namespace

void HandBackKeptCommands() { HandBack(/*quiet=*/false); }

void HandBackWaitingKeptCommands() {
  if (g_keptWaiting) HandBack(/*quiet=*/true);
}

uint64_t KeptCommandsTotal() { return g_keptTotal.load(); }
uint64_t HandedBackCommandsTotal() { return g_handedBackTotal.load(); }

std::optional<int32_t> StoreCommandBehindKept(const std::string& command) {
  HandBackWaitingKeptCommands();
  if (g_keptWaiting) return 0;
  return VelmarLibrary::Instance().SetCommandEntry(command);
}

}  // namespace vel
