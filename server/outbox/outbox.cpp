#include "outbox.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "clock.h"
#include "command_entry.h"
#include "file_io.h"
#include "kept_commands.h"

namespace vel {

namespace {

constexpr mode_t kJournalMode = 0640;
// Below this the journal is never compacted; above it, once most of it is done.
constexpr uint64_t kCompactFromBytes = uint64_t{1} << 20;
// Step records (passed, taken, expired) reach the disk with the next group of accepts,
// or after this long when none comes.
constexpr int kStepSyncMs = 200;
// How long a group of accepts waits for more of its kind (see WriterLoop).
constexpr int kGatherUs = 150;
constexpr int64_t kGroupWindowMs = 100;
constexpr int64_t kWarnEveryMs = 60 * 1000;
constexpr char kTerminator = '\xFF';
// An entry fits while the buffer's entries and it, each with its terminator, leave the
// closing zero byte its place.
constexpr size_t kBufferRoom = kLargestCommandEntry;

std::string Count(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The crash tests end the process at one point of a message's way, the one that
// VELWEB_TEST_KILL_AT names: "append" (its record written, not synced), "sync" (synced, not
// answered), "record-pass" (its pass recorded, not stored), "pass" (stored, nothing after).
void KillPoint(const char* point) {
  static const char* const chosen = std::getenv("VELWEB_TEST_KILL_AT");
  if (chosen != nullptr && std::strcmp(chosen, point) == 0) raise(SIGKILL);
}

std::vector<std::string> SplitEntries(const std::string& buffer) {
  std::vector<std::string> entries;
  size_t start = 0;
  for (size_t end; (end = buffer.find(kTerminator, start)) != std::string::npos; start = end + 1) {
    entries.push_back(buffer.substr(start, end - start));
  }
  return entries;
}

std::string Directory(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

Outbox::Outbox(OutboxSettings settings, std::string path)
    : settings_(settings), path_(std::move(path)) {}

Outbox::~Outbox() {
  Close();
  if (fd_ >= 0) close(fd_);
}

void Outbox::SetHooks(std::function<void()> queued, std::function<void(const std::string&)> log) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  onQueued_ = std::move(queued);
  log_ = std::move(log);
}

bool Outbox::Open(const std::string& keptPath, const std::string& setAsidePath,
                  std::vector<std::string>& lines, std::string& error) {
  const std::string name = kFileName;
  fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
             kJournalMode);
  struct stat info {};
  if (fd_ < 0 || fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
    error = "the outbox " + name + " cannot be opened: " +
            (fd_ < 0 ? std::strerror(errno) : std::string("it is not a regular file"));
    return false;
  }
  std::string bytes(static_cast<size_t>(info.st_size), '\0');
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n =
        pread(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "the outbox " + name + " cannot be read: " + std::strerror(errno);
      return false;
    }
    if (n == 0) {
      bytes.resize(done);
      break;
    }
    done += static_cast<size_t>(n);
  }
  const JournalReplay replay = ReplayJournal(bytes);
  if (!replay.tail.empty()) {
    // A write cut short by a crash or a power loss: its message was never acknowledged.
    if (ftruncate(fd_, static_cast<off_t>(replay.wholeBytes)) != 0 || fdatasync(fd_) != 0) {
      error = "the outbox " + name + " cannot be repaired: " + std::strerror(errno);
      return false;
    }
    lines.push_back("Velmar Web Server cut " + name + " after byte " +
                    std::to_string(replay.wholeBytes) + " of " + std::to_string(bytes.size()) +
                    ": " + replay.tail + "; every whole record before it is kept");
  }
  fileBytes_ = replay.wholeBytes;
  uint64_t highest = 0;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    for (const OutboxRecord& record : replay.records) {
      Apply(record);
      highest = std::max(highest, record.id);
    }
    // Ids stay unique across compactions that drop ended messages: they count on from
    // the time of the start.
    nextId_ = std::max<uint64_t>(highest + 1, static_cast<uint64_t>(WallMs()) * 1000);
    std::vector<uint64_t> queued;
    for (const auto& [id, message] : messages_) {
      if (message.status.state == MessageState::kQueued) queued.push_back(id);
    }
    std::sort(queued.begin(), queued.end());
    for (const uint64_t id : queued) Enqueue(id, /*front=*/false);
  }

  // An older version kept the messages of the region it was the last to leave in a file
  // of their own: they come first, in their order.
  bool tookKept = false;
  const HandBackOutcome kept =
      HandBackKeptFile(keptPath, setAsidePath, [&](const std::string& command) {
        OutboxRecord record{RecordType::kAccepted, nextId_, WallMs(),
                            kKeptCommandsFile,     command, {}};
        std::lock_guard<std::mutex> file(fileMutex_);
        if (!AppendLocked(EncodeRecord(record))) return false;
        ++nextId_;
        tookKept = true;
        std::lock_guard<std::mutex> lock(stateMutex_);
        Apply(record);
        Enqueue(record.id, /*front=*/false);
        return true;
      });
  if (tookKept && fdatasync(fd_) != 0) {
    error = "the outbox " + name + " cannot be synced: " + std::strerror(errno);
    return false;
  }
  if (!kept.why.empty()) {
    lines.push_back(std::string("Velmar Web Server takes nothing from ") + kKeptCommandsFile +
                    ": " + kept.why);
  }
  if (kept.handed > 0 || kept.left > 0) {
    std::string line = "Velmar Web Server took " +
                       Count(kept.handed, "kept message", "kept messages") + " from " +
                       kKeptCommandsFile + " into " + name;
    if (kept.left > 0) line += "; " + std::to_string(kept.left) + " could not be taken";
    lines.push_back(line);
  }
  if (kept.setAside > 0) {
    lines.push_back("Velmar Web Server set aside " +
                    Count(kept.setAside, "kept message", "kept messages") + " in " +
                    kSetAsideCommandsFile +
                    ": too long for the command buffer, holding a zero byte or cut short");
  }
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (queued_ + passedOrder_.size() > 0) {
      lines.push_back("Velmar Web Server's outbox holds " +
                      Count(queued_ + passedOrder_.size(), "message", "messages") + " (" +
                      std::to_string(queued_) + " queued, " + std::to_string(passedOrder_.size()) +
                      " passed)");
    }
  }
  writer_ = std::thread([this] { WriterLoop(); });
  return true;
}

void Outbox::Apply(const OutboxRecord& record) {
  if (record.type == RecordType::kAccepted) {
    Message& message = messages_[record.id];
    message.status = {record.id,
                      MessageState::kQueued,
                      record.sender,
                      record.user,
                      record.entry,
                      record.timeMs,
                      0,
                      0};
    message.recordBytes = EncodeRecord(record).size();
    liveBytes_ += message.recordBytes;
    return;
  }
  const auto found = messages_.find(record.id);
  if (found == messages_.end()) return;
  Message& message = found->second;
  MessageStatus& status = message.status;
  if (status.state == MessageState::kTaken || status.state == MessageState::kExpired) return;
  const auto passed = std::find(passedOrder_.begin(), passedOrder_.end(), record.id);
  if (passed != passedOrder_.end()) passedOrder_.erase(passed);
  switch (record.type) {
    case RecordType::kPassed:
      status.state = MessageState::kPassed;
      status.passedMs = record.timeMs;
      passedOrder_.push_back(record.id);
      break;
    case RecordType::kReturned:
      status.state = MessageState::kQueued;
      break;
    case RecordType::kTaken:
      End(message, MessageState::kTaken, record.timeMs);
      break;
    case RecordType::kExpired:
      End(message, MessageState::kExpired, record.timeMs);
      break;
    case RecordType::kWithdrawn:
      liveBytes_ -= message.recordBytes;
      messages_.erase(found);
      break;
    case RecordType::kAccepted:
      break;
  }
}

std::string Outbox::TurnOf(const MessageStatus& status) {
  // A user's name never begins with a control character: no address can be mistaken
  // for one.
  return status.user.empty() ? status.sender : "\x01" + status.user;
}

void Outbox::Enqueue(uint64_t id, bool front) {
  const std::string sender = TurnOf(messages_.at(id).status);
  std::deque<uint64_t>& queue = queuedBySender_[sender];
  const bool waiting = !queue.empty();
  if (front) {
    queue.push_front(id);
    // Its sender's turn comes first again: it was this sender's turn that was given back.
    const auto at = std::find(turn_.begin(), turn_.end(), sender);
    if (at != turn_.end()) turn_.erase(at);
    turn_.push_front(sender);
  } else {
    queue.push_back(id);
    if (!waiting) turn_.push_back(sender);
  }
  ++queued_;
}

void Outbox::End(Message& message, MessageState state, int64_t atMs) {
  message.status.state = state;
  message.status.endedMs = atMs;
  // With a history the ended message stays in the journal for KeepDays.
  if (settings_.keepDays <= 0) liveBytes_ -= message.recordBytes;
  ended_.push_back(message.status.id);
  ForgetEnded(atMs);
}

void Outbox::ForgetEnded(int64_t nowMs) {
  const bool history = settings_.keepDays > 0;
  const size_t most = history ? kHistoryKept : kEndedKept;
  const int64_t keepMs = settings_.keepDays * 24 * 3600 * 1000;
  while (!ended_.empty()) {
    const auto found = messages_.find(ended_.front());
    if (found != messages_.end()) {
      const bool past = history && nowMs - found->second.status.endedMs > keepMs;
      if (ended_.size() <= most && !past) break;
      if (history) liveBytes_ -= found->second.recordBytes;
      messages_.erase(found);
    }
    ended_.pop_front();
  }
}

bool Outbox::AppendLocked(const std::string& bytes) {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  if (WriteAll(fd_, bytes)) {
    fileBytes_ += bytes.size();
    return true;
  }
  // Whole or not at all: a record cut short would hide every later one at the replay.
  const int error = errno;
  [[maybe_unused]] const int undone = ftruncate(fd_, static_cast<off_t>(fileBytes_));
  errno = error;
  return false;
}

bool Outbox::AppendStep(RecordType type, uint64_t id, int64_t timeMs) {
  bool written;
  {
    std::lock_guard<std::mutex> file(fileMutex_);
    written = AppendLocked(EncodeRecord({type, id, timeMs, {}, {}, {}}));
  }
  std::lock_guard<std::mutex> lock(stateMutex_);
  if (!syncWanted_) {
    syncWanted_ = true;
    wake_.notify_one();
  }
  return written;
}

void Outbox::Accept(const std::string& sender, const std::string& entry,
                    std::function<void(Accepted)> done, const std::string& user) {
  Refusal refusal;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    const size_t live = queued_ + passedOrder_.size() + pending_.size();
    if (!stopping_ && live < static_cast<size_t>(settings_.size)) {
      pending_.push_back(
          {{RecordType::kAccepted, nextId_++, WallMs(), sender, entry, user}, std::move(done)});
      wake_.notify_one();
      return;
    }
    refusal = stopping_ ? Refusal::kDisk : Refusal::kFull;
  }
  if (refusal == Refusal::kFull) {
    LogOnceAMinute(lastFullWarnMs_, "Velmar Web Server's outbox is full ([Outbox] Size=" +
                                        std::to_string(settings_.size) +
                                        " messages not taken yet): posts are refused until "
                                        "the alarm server takes some");
  }
  done({refusal, 0});
}

void Outbox::WriterLoop() {
  std::unique_lock<std::mutex> lock(stateMutex_);
  for (;;) {
    if (pending_.empty() && !stopping_) {
      if (syncWanted_) {
        wake_.wait_for(lock, std::chrono::milliseconds(kStepSyncMs),
                       [this] { return stopping_ || !pending_.empty(); });
      } else {
        wake_.wait(lock, [this] { return stopping_ || syncWanted_ || !pending_.empty(); });
        continue;  // a step alone waits a while for accepts to share its sync
      }
    }
    if (pending_.empty() && !syncWanted_) return;  // stopping, and nothing left
    // While posts come in groups (many clients at once), a group waits a moment for as
    // many as the largest group of the last while held: one sync for more of them. A
    // lone client never waits.
    if (!pending_.empty()) {
      const int64_t now = NowMs();
      if (now - groupWindowMs_ >= kGroupWindowMs) {
        groupWindowMs_ = now;
        lastPeak_ = peak_;
        peak_ = 0;
      }
      const size_t enough = std::max(lastPeak_, peak_);
      if (pending_.size() < enough && !stopping_) {
        wake_.wait_for(lock, std::chrono::microseconds(kGatherUs),
                       [&] { return stopping_ || pending_.size() >= enough; });
      }
      peak_ = std::max(peak_, pending_.size());
    }
    std::vector<Pending> batch = std::move(pending_);
    pending_.clear();
    syncWanted_ = false;
    lock.unlock();

    std::string bytes;
    for (const Pending& pending : batch) bytes += EncodeRecord(pending.record);
    bool written = true;
    uint64_t start = 0;
    {
      std::lock_guard<std::mutex> file(fileMutex_);
      start = fileBytes_;
      if (!bytes.empty()) written = AppendLocked(bytes);
    }
    if (written && !bytes.empty()) KillPoint("append");
    bool synced = written && fdatasync(fd_) == 0;
    const int error = errno;
    if (synced && !batch.empty()) KillPoint("sync");
    if (synced) ++syncs_;
    if (written && !synced && !batch.empty()) {
      // Not known to be on disk, so not accepted: taken back, or marked as withdrawn
      // where records came after it meanwhile.
      std::lock_guard<std::mutex> file(fileMutex_);
      if (fileBytes_ == start + bytes.size() && ftruncate(fd_, static_cast<off_t>(start)) == 0) {
        fileBytes_ = start;
      } else {
        for (const Pending& pending : batch) {
          AppendLocked(
              EncodeRecord({RecordType::kWithdrawn, pending.record.id, WallMs(), {}, {}, {}}));
        }
      }
    }

    lock.lock();
    failing_ = !synced;
    if (synced) {
      for (const Pending& pending : batch) {
        Apply(pending.record);
        Enqueue(pending.record.id, /*front=*/false);
        ++counts_.accepted;
      }
    }
    const std::function<void()> queued = onQueued_;
    lock.unlock();
    for (const Pending& pending : batch) {
      pending.done(synced ? Accepted{Refusal::kNone, pending.record.id}
                          : Accepted{Refusal::kDisk, 0});
    }
    if (!synced) {
      LogOnceAMinute(lastDiskWarnMs_, std::string("Velmar Web Server could not keep messages in ") +
                                          kFileName + ": " + std::strerror(error) +
                                          "; posts are refused until it can");
    } else if (!batch.empty() && queued) {
      queued();
    }
    MaybeCompact();
    lock.lock();
  }
}

void Outbox::LogOnceAMinute(int64_t& lastMs, const std::string& line) {
  std::function<void(const std::string&)> log;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    const int64_t now = NowMs();
    if (lastMs != 0 && now - lastMs < kWarnEveryMs) return;
    lastMs = now;
    log = log_;
  }
  if (log) log(line);
}

void Outbox::MaybeCompact() {
  std::lock_guard<std::mutex> file(fileMutex_);
  std::string bytes;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (fileBytes_ < kCompactFromBytes || liveBytes_ * 2 > fileBytes_) return;
    std::vector<const MessageStatus*> kept;
    for (const auto& [id, message] : messages_) {
      const MessageState state = message.status.state;
      if (state == MessageState::kQueued || state == MessageState::kPassed ||
          settings_.keepDays > 0) {
        kept.push_back(&message.status);
      }
    }
    std::sort(kept.begin(), kept.end(),
              [](const MessageStatus* a, const MessageStatus* b) { return a->id < b->id; });
    for (const MessageStatus* status : kept) {
      bytes += EncodeRecord({RecordType::kAccepted, status->id, status->acceptedMs, status->sender,
                             status->entry, status->user});
      // An ended one with its steps, for the history.
      const bool taken = status->state == MessageState::kTaken;
      if (!taken && status->state != MessageState::kExpired) continue;
      if (status->passedMs != 0) {
        bytes += EncodeRecord({RecordType::kPassed, status->id, status->passedMs, {}, {}, {}});
      }
      bytes += EncodeRecord({taken ? RecordType::kTaken : RecordType::kExpired,
                             status->id,
                             status->endedMs,
                             {},
                             {},
                             {}});
    }
    for (const uint64_t id : passedOrder_) {
      bytes +=
          EncodeRecord({RecordType::kPassed, id, messages_.at(id).status.passedMs, {}, {}, {}});
    }
  }
  // The new journal is whole on disk before it takes the old one's name.
  const std::string fresh = path_ + ".new";
  const int fd =
      open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kJournalMode);
  if (fd < 0) return;
  bool done = WriteAll(fd, bytes) && fdatasync(fd) == 0;
  close(fd);
  done = done && rename(fresh.c_str(), path_.c_str()) == 0;
  if (!done) {
    unlink(fresh.c_str());
    return;
  }
  const int directory = open(Directory(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    fsync(directory);
    close(directory);
  }
  const int reopened = open(path_.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
  if (reopened < 0) return;  // the old descriptor still appends, to the file it had
  close(fd_);
  fd_ = reopened;
  fileBytes_ = bytes.size();
}

std::vector<std::string> Outbox::Feed(const CommandBufferAccess& buffer, int64_t nowMs, bool pass) {
  std::vector<std::string> lines;
  std::vector<std::pair<RecordType, uint64_t>> steps;
  auto writeSteps = [&] {
    for (const auto& [type, id] : steps) AppendStep(type, id, nowMs);
    steps.clear();
  };

  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    ForgetEnded(nowMs);
  }
  // Lifetime: of the messages never passed (one passed before and given back at a stop
  // was the alarm server's once, and stays on its way), the oldest of each sender lie at
  // the front of its queue, behind any given back.
  if (settings_.expireSeconds > 0) {
    const int64_t limitMs = settings_.expireSeconds * 1000;
    std::lock_guard<std::mutex> lock(stateMutex_);
    for (auto sender = queuedBySender_.begin(); sender != queuedBySender_.end();) {
      std::deque<uint64_t>& queue = sender->second;
      for (auto at = queue.begin(); at != queue.end();) {
        Message& message = messages_.at(*at);
        const int64_t age = nowMs - message.status.acceptedMs;
        if (message.status.passedMs != 0) {
          ++at;
          continue;
        }
        if (age < limitMs) break;
        at = queue.erase(at);
        --queued_;
        End(message, MessageState::kExpired, nowMs);
        ++counts_.expired;
        steps.emplace_back(RecordType::kExpired, message.status.id);
        lines.push_back("Velmar Web Server dropped message " + std::to_string(message.status.id) +
                        " from " + message.status.sender + " after " + std::to_string(age / 1000) +
                        " s: it was not passed within [Outbox] ExpireSeconds");
      }
      if (queue.empty()) {
        turn_.erase(std::find(turn_.begin(), turn_.end(), sender->first));
        sender = queuedBySender_.erase(sender);
      } else {
        ++sender;
      }
    }
  }
  writeSteps();

  const std::optional<std::string> peeked = buffer.peek();
  if (!peeked) return lines;
  {
    const std::vector<std::string> entries = SplitEntries(*peeked);
    std::lock_guard<std::mutex> lock(stateMutex_);
    const size_t still = LeftTheBuffer(entries, nullptr);
    // Every one passed before them has left it. Before the first look after a start,
    // the buffer may be a new region: those are passed again rather than said taken.
    if (!recovered_) {
      recovered_ = true;
      for (size_t i = still; i-- > 0;) {
        const uint64_t id = passedOrder_[i];
        messages_.at(id).status.state = MessageState::kQueued;
        Enqueue(id, /*front=*/true);
        steps.emplace_back(RecordType::kReturned, id);
      }
      counts_.passedAgain += still;
      if (still > 0) {
        lines.push_back("Velmar Web Server passes " + Count(still, "message", "messages") +
                        " again: passed before its last end, they are no longer in the "
                        "command buffer and their taking was not seen");
      }
    } else {
      for (size_t i = 0; i < still; ++i) {
        MarkTaken(messages_.at(passedOrder_[i]), nowMs);
        steps.emplace_back(RecordType::kTaken, passedOrder_[i]);
      }
    }
    passedOrder_.erase(passedOrder_.begin(), passedOrder_.begin() + static_cast<long>(still));
  }
  writeSteps();
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (!passing_) return lines;
  }
  if (!pass) return lines;

  // Fair order: the sender whose turn it is gives its oldest message.
  size_t room = peeked->size() < kBufferRoom ? kBufferRoom - peeked->size() : 0;
  for (;;) {
    uint64_t id = 0;
    int64_t passedBefore = 0;
    std::string entry;
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      if (turn_.empty()) break;
      // An older version's kept messages were the alarm server's before any new one.
      const bool kept = queuedBySender_.count(kKeptCommandsFile) != 0;
      const auto turn =
          kept ? std::find(turn_.begin(), turn_.end(), kKeptCommandsFile) : turn_.begin();
      const std::string sender = *turn;
      std::deque<uint64_t>& queue = queuedBySender_.at(sender);
      Message& message = messages_.at(queue.front());
      if (message.status.entry.size() > room) break;  // its turn waits for room
      id = message.status.id;
      entry = message.status.entry;
      queue.pop_front();
      turn_.erase(turn);
      if (queue.empty()) {
        queuedBySender_.erase(sender);
      } else {
        turn_.push_back(sender);
      }
      --queued_;
      message.status.state = MessageState::kPassed;
      passedBefore = message.status.passedMs;
      message.status.passedMs = nowMs;
      passedOrder_.push_back(id);
    }
    // Recorded before it is stored: a crash in between leaves it passed, to be passed
    // again unless the buffer holds it.
    const bool recorded = AppendStep(RecordType::kPassed, id, nowMs);
    if (recorded) KillPoint("record-pass");
    const bool stored = recorded && buffer.store(entry);
    if (stored) KillPoint("pass");
    if (!stored) {
      {
        std::lock_guard<std::mutex> lock(stateMutex_);
        passedOrder_.pop_back();
        messages_.at(id).status.state = MessageState::kQueued;
        messages_.at(id).status.passedMs = passedBefore;
        Enqueue(id, /*front=*/true);
      }
      if (recorded) AppendStep(RecordType::kReturned, id, nowMs);
      break;
    }
    room -= std::min(room, entry.size() + 1);
  }
  return lines;
}

size_t Outbox::LeftTheBuffer(const std::vector<std::string>& entries,
                             std::vector<bool>* ours) const {
  // The passed messages still in the buffer: the longest run of them, from the newest
  // back, that its entries hold in order (each matched as late as it can be).
  size_t still = passedOrder_.size();
  size_t at = entries.size();
  while (still > 0) {
    const std::string& entry = messages_.at(passedOrder_[still - 1]).status.entry;
    while (at > 0 && entries[at - 1] != entry) --at;
    if (at == 0) break;
    --at;
    if (ours) (*ours)[at] = true;
    --still;
  }
  return still;
}

void Outbox::MarkTaken(Message& message, int64_t atMs) {
  End(message, MessageState::kTaken, atMs);
  ++counts_.taken;
  const double seconds = static_cast<double>(atMs - message.status.acceptedMs) / 1000.0;
  counts_.takenSecondsSum += seconds;
  for (size_t b = 0; b < kTakenSecondsBounds.size(); ++b) {
    if (seconds <= kTakenSecondsBounds[b]) ++counts_.takenWithin[b];
  }
}

std::vector<std::string> Outbox::TakeBack(const std::vector<std::string>& takenOut) {
  std::vector<std::string> foreign;
  std::vector<std::pair<RecordType, uint64_t>> steps;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    passing_ = false;
    std::vector<bool> ours(takenOut.size(), false);
    const size_t still = LeftTheBuffer(takenOut, &ours);
    const int64_t now = WallMs();
    for (size_t i = 0; i < still; ++i) {
      MarkTaken(messages_.at(passedOrder_[i]), now);
      steps.emplace_back(RecordType::kTaken, passedOrder_[i]);
    }
    for (size_t i = passedOrder_.size(); i-- > still;) {
      const uint64_t id = passedOrder_[i];
      messages_.at(id).status.state = MessageState::kQueued;
      Enqueue(id, /*front=*/true);
      steps.emplace_back(RecordType::kReturned, id);
    }
    passedOrder_.clear();
    for (size_t i = 0; i < takenOut.size(); ++i) {
      if (!ours[i]) foreign.push_back(takenOut[i]);
    }
  }
  const int64_t now = WallMs();
  for (const auto& [type, id] : steps) AppendStep(type, id, now);
  // The stop comes next: on disk now, not at the writer's next sync.
  std::lock_guard<std::mutex> file(fileMutex_);
  if (!steps.empty() && fd_ >= 0) fdatasync(fd_);
  return foreign;
}

void Outbox::StopPassing() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  passing_ = false;
}

std::vector<MessageStatus> Outbox::History(const std::function<bool(const MessageStatus&)>& visible,
                                           size_t limit, uint64_t beforeId) const {
  std::vector<MessageStatus> found;
  std::lock_guard<std::mutex> lock(stateMutex_);
  std::vector<const MessageStatus*> candidates;
  for (const auto& [id, message] : messages_) {
    if ((beforeId == 0 || id < beforeId) && visible(message.status)) {
      candidates.push_back(&message.status);
    }
  }
  const size_t count = std::min(limit, candidates.size());
  std::partial_sort(candidates.begin(), candidates.begin() + static_cast<long>(count),
                    candidates.end(),
                    [](const MessageStatus* a, const MessageStatus* b) { return a->id > b->id; });
  for (size_t i = 0; i < count; ++i) found.push_back(*candidates[i]);
  return found;
}

std::optional<MessageStatus> Outbox::Status(uint64_t id) const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  const auto found = messages_.find(id);
  if (found == messages_.end()) return std::nullopt;
  return found->second.status;
}

OutboxCounts Outbox::Counts() const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  OutboxCounts counts = counts_;
  counts.queued = queued_;
  counts.passed = passedOrder_.size();
  int64_t oldest = 0;
  auto consider = [&](uint64_t id) {
    const int64_t accepted = messages_.at(id).status.acceptedMs;
    if (oldest == 0 || accepted < oldest) oldest = accepted;
  };
  if (!passedOrder_.empty()) consider(passedOrder_.front());
  for (const auto& [sender, queue] : queuedBySender_) consider(queue.front());
  counts.oldestAcceptedMs = oldest;
  counts.syncs = syncs_.load();
  return counts;
}

bool Outbox::HasWork() const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return queued_ > 0 || !passedOrder_.empty();
}

bool Outbox::Failing() const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return failing_;
}

void Outbox::Close() {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    stopping_ = true;
    wake_.notify_one();
  }
  if (writer_.joinable()) writer_.join();
}

}  // namespace vel
