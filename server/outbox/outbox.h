// The outbox: every message accepted for the alarm server, kept on disk until the alarm
// server has taken it out of the command buffer.
//
// With [Outbox] Size=N (N > 0) a post is no longer stored in the command buffer while
// its client waits. It is accepted into the outbox: its record is appended to the
// journal vel_outbox.dat (outbox_journal.h) and made durable with fdatasync before the
// client is answered. A writer thread of its own takes every accept that waits at once
// and syncs once for all of them (group commit); the event loop never waits for the
// disk. A full outbox (N messages not taken yet) or a disk that refuses the write or the
// sync accepts nothing: the caller refuses the post.
//
// The exchange thread feeds the command buffer (Feed): whenever it has room, the next
// message in fair order goes in, round-robin across senders, oldest first within one
// (the kept messages of an older version, taken in at the start, before all others).
// Its kPassed record is in the journal before the library is asked to store it, so a
// crash at any point leaves it "passed" (and it is passed again at the next start unless
// the region still holds it) or "queued" (never stored). Each feed first looks at the
// buffer without taking anything: entries leave from the front, so the passed messages
// still there are the newest of those passed (the longest run of them, from the newest
// back, that the buffer holds in order); every one passed before them has been taken.
// An entry of another program that is byte for byte alike counts as still there: a
// message is never said to be taken early.
//
// States: queued (in the outbox), passed (in the command buffer), taken, expired (not
// passed within [Outbox] ExpireSeconds). A passed message is the alarm server's and never
// expires. Ended messages leave the journal at its next compaction (when most of it is
// done: the live records are written to a new file, synced, renamed over it, the
// directory synced); the newest of them are still known by id while the server runs.
//
// Thread-safe: Accept, Status and Counts come from the event loop, Feed and TakeBack
// from the exchange thread, the callbacks run on the writer thread.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "outbox_journal.h"

namespace vel {

struct OutboxSettings {
  int64_t size = 0;           // [Outbox] Size: messages not taken yet (0: no outbox)
  int64_t expireSeconds = 0;  // [Outbox] ExpireSeconds: unpassed this long, dropped (0: never)
  int64_t keepDays = 0;       // [Outbox] KeepDays: ended messages kept this long (history)
  bool On() const { return size > 0; }
};

struct MessageStatus {
  uint64_t id = 0;
  MessageState state = MessageState::kQueued;
  std::string sender;  // the client's address (as the log names it)
  std::string user;    // the user of the users file who sent it; empty: none
  std::string entry;   // the command entry: "FT:", the receivers ended by 0xFE, the message
  int64_t acceptedMs = 0;
  int64_t passedMs = 0;  // 0: not (yet) passed; the last pass when passed again
  int64_t endedMs = 0;   // when taken or expired
};

// The bounds of the histogram of seconds from accepted to taken.
inline constexpr std::array<double, 8> kTakenSecondsBounds = {0.1, 0.5, 1, 5, 15, 60, 300, 3600};

struct OutboxCounts {
  size_t queued = 0;
  size_t passed = 0;
  int64_t oldestAcceptedMs = 0;  // of the messages not taken yet; 0: none
  uint64_t accepted = 0;         // since the start
  uint64_t taken = 0;
  uint64_t expired = 0;
  uint64_t passedAgain = 0;
  uint64_t syncs = 0;  // of the journal, since the start
  std::array<uint64_t, kTakenSecondsBounds.size()> takenWithin{};  // cumulative
  double takenSecondsSum = 0;
  size_t Depth() const { return queued + passed; }
};

// What Feed sees of the command buffer and does to it.
struct CommandBufferAccess {
  // The waiting entries, each followed by 0xFF; nothing when the buffer cannot be read.
  std::function<std::optional<std::string>()> peek;
  // True when the entry was stored.
  std::function<bool(const std::string&)> store;
};

class Outbox {
 public:
  static constexpr const char* kFileName = kOutboxJournalFile;
  // How many ended messages are still known by id: without KeepDays, for the answers to
  // GET /messages/ID; with it, at most this many of those within KeepDays (the history).
  static constexpr size_t kEndedKept = 10000;
  static constexpr size_t kHistoryKept = 50000;

  enum class Refusal { kNone, kFull, kDisk };
  struct Accepted {
    Refusal refusal = Refusal::kNone;
    uint64_t id = 0;
  };

  Outbox(OutboxSettings settings, std::string path);
  ~Outbox();
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  // At the start: the journal replayed (a torn or damaged tail cut), the messages of an
  // older version's kept file `keptPath` taken in, in their order, before anything else.
  // The lines say what was found. False, with the reason in `error`, when the journal
  // cannot be opened or read: the server must not start without its messages.
  bool Open(const std::string& keptPath, const std::string& setAsidePath,
            std::vector<std::string>& lines, std::string& error);

  // Called on the writer thread whenever messages became queued (to ask for a feed), and
  // with a line for the log and the console (a disk that refuses, a full outbox: each at
  // most once a minute; from the writer thread or the caller of Accept).
  void SetHooks(std::function<void()> queued, std::function<void(const std::string&)> log);

  // A message for the alarm server from `sender` (and `user`, with accounts); `done`
  // runs on the writer thread once it is durable (its id) or refused. Fair order goes
  // round users, and round addresses for messages without one.
  void Accept(const std::string& sender, const std::string& entry,
              std::function<void(Accepted)> done, const std::string& user = {});

  // On the exchange thread: expiry, taken messages seen, then (with `pass`) as many
  // queued ones passed as the buffer has room for. Returns the lines for the log.
  std::vector<std::string> Feed(const CommandBufferAccess& buffer, int64_t nowMs, bool pass = true);

  // On the exchange thread, at a stop that takes `takenOut` out of a region that goes
  // with this process: the outbox's own passed messages among them go back to queued
  // (passed again at the next start, with nobody counting them twice); what other
  // programs had stored comes back, in its order. Nothing is passed after it.
  std::vector<std::string> TakeBack(const std::vector<std::string>& takenOut);

  // At a stop: nothing is passed any more (a region that goes with the process would
  // take it along).
  void StopPassing();

  std::optional<MessageStatus> Status(uint64_t id) const;
  // The messages known (those not ended, and the ended ones kept) that `visible` lets
  // through, with ids below `beforeId` (0: any), newest first, at most `limit`.
  std::vector<MessageStatus> History(const std::function<bool(const MessageStatus&)>& visible,
                                     size_t limit, uint64_t beforeId = 0) const;
  OutboxCounts Counts() const;
  // Queued or passed messages: feeds are worth asking for.
  bool HasWork() const;
  // Whether the last write or sync was refused (cleared by the next that succeeds).
  bool Failing() const;

  // Ends the writer thread once what waits is written (the destructor does it too).
  void Close();

 private:
  struct Message {
    MessageStatus status;
    size_t recordBytes = 0;  // of its accept record
  };
  struct Pending {
    OutboxRecord record;
    std::function<void(Accepted)> done;
  };

  void WriterLoop();
  // Appends `bytes` at the journal's end, whole or not at all (file lock held).
  bool AppendLocked(const std::string& bytes);
  // Appends one step record now (exchange thread); the writer syncs it soon.
  bool AppendStep(RecordType type, uint64_t id, int64_t timeMs);
  void Apply(const OutboxRecord& record);  // state lock held
  // Whose turn a message waits for: its user, else its address.
  static std::string TurnOf(const MessageStatus& status);
  void Enqueue(uint64_t id, bool front);                         // state lock held
  void End(Message& message, MessageState state, int64_t atMs);  // state lock held
  // A passed message seen taken: ended, counted, its time from accepted to taken kept.
  void MarkTaken(Message& message, int64_t atMs);  // state lock held
  // How many of the passed messages, the oldest first, are no longer among `entries`
  // (the buffer's, front first); the others are marked in `ours` (one per entry) when
  // given. State lock held.
  size_t LeftTheBuffer(const std::vector<std::string>& entries, std::vector<bool>* ours) const;
  void MaybeCompact();  // writer thread
  // `lastMs`: when this kind of line was last logged (state lock not held).
  void LogOnceAMinute(int64_t& lastMs, const std::string& line);

  const OutboxSettings settings_;
  const std::string path_;

  mutable std::mutex fileMutex_;  // before stateMutex_ when both are taken
  int fd_ = -1;
  uint64_t fileBytes_ = 0;

  mutable std::mutex stateMutex_;
  std::condition_variable wake_;
  std::unordered_map<uint64_t, Message> messages_;  // not ended, and the newest ended
  std::deque<uint64_t> ended_;                      // oldest first
  std::map<std::string, std::deque<uint64_t>> queuedBySender_;
  std::deque<std::string> turn_;  // senders with queued messages, the next one first
  std::deque<uint64_t> passedOrder_;
  size_t queued_ = 0;
  // The records a compaction would write: of the messages not ended and, with KeepDays,
  // of the ended ones kept.
  size_t liveBytes_ = 0;
  // Ended messages past their keeping go (state lock held).
  void ForgetEnded(int64_t nowMs);
  uint64_t nextId_ = 1;
  bool recovered_ = false;  // the first feed has looked at what the region still holds
  bool passing_ = true;     // false once a stop took the region's entries out (TakeBack)
  std::vector<Pending> pending_;
  bool syncWanted_ = false;
  // The largest group of accepts written in this window of time and in the one before.
  size_t peak_ = 0;
  size_t lastPeak_ = 0;
  int64_t groupWindowMs_ = 0;
  bool stopping_ = false;
  bool failing_ = false;
  int64_t lastDiskWarnMs_ = 0;
  int64_t lastFullWarnMs_ = 0;
  std::atomic<uint64_t> syncs_{0};
  OutboxCounts counts_;
  std::function<void()> onQueued_;
  std::function<void(const std::string&)> log_;
  std::thread writer_;
};

}  // namespace vel
