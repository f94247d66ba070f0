#include "receiver_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "event_log.h"
#include "file_io.h"
#include "vel_proc.h"

namespace vel {

namespace {

constexpr int kReloadIntervalMs = 2000;

}  // namespace

ReceiverList::ReceiverList() {
  Timer_ReLoad.setInterval(kReloadIntervalMs);
  QObject::connect(&Timer_ReLoad, &QTimer::timeout, [this] { Timer_ReLoad_Timer(); });
}

std::optional<ReceiverList::Stamp> ReceiverList::StampOf(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  return Stamp{info.st_size, info.st_mtime};
}

int16_t ReceiverList::Load() {
  const int16_t count = ShowReceivers();
  stamp_ = StampOf(ProgramFile(kFileName));
  if (!Timer_ReLoad.isActive()) Timer_ReLoad.start();
  return count;
}

int16_t ReceiverList::LoadReceivers() {
  if (watcher_.busy) watcher_.busy(true);
  const std::string path = ProgramFile(kFileName);
  std::optional<std::string> content = ReadWholeFile(path);
  if (!content && errno != ENOENT) {
    // No regular file (a FIFO would never end a read), or none that can be read: the
    // list stays as it was, and that is said once until the file can be read again.
    if (!rejected_) {
      rejected_ = true;
      const std::string why = errno == EINVAL ? "it is no regular file" : std::strerror(errno);
      const std::string text = std::string(kFileName) + " cannot be read (" + why +
                               "): the receiver list stays as it was";
      WriteLog(text);
      if (watcher_.warn) watcher_.warn(text);
    }
    if (watcher_.busy) watcher_.busy(false);
    return count_;
  }
  rejected_ = false;
  count_ = 0;
  if (!content) {
    // A missing file is made empty; nothing that appeared meanwhile is opened.
    const int fd =
        open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd >= 0) close(fd);
    content.emplace();
  }
  const std::string& bytes = *content;
  ReceiverFile file = ParseReceiverFile(bytes);
  if (bytes.size() > 1 && file.version != kReceiverFileVersion) {
    WriteLog(GetText(kTextReceiverVersionBefore) + " " + std::to_string(file.version) + " " +
             GetText(kTextReceiverVersionAfter));
  }
  records_ = std::move(file.records);
  count_ = file.count;
  if (watcher_.busy) watcher_.busy(false);
  return count_;
}

int16_t ReceiverList::ShowReceivers() {
  names_.clear();
  const int16_t count = LoadReceivers();
  names_ = SortedReceiverNames(records_, count_);
  ++generation_;
  if (watcher_.changed) watcher_.changed(names_);
  return count;
}

void ReceiverList::Timer_ReLoad_Timer() {
  // A file that is away for the moment (being rewritten) is looked at on the next tick.
  const std::optional<Stamp> now = StampOf(ProgramFile(kFileName));
  if (!now || now == stamp_) return;
  stamp_ = now;
  const int16_t count = ShowReceivers();
  WriteLog("Velmar Web Server reloaded " + std::to_string(count) + " receivers");
}

}  // namespace vel
