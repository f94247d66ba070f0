// What the server remembers of each client address for the [Access] keys: the messages
// it handed over in the last minute, its wrong passwords and lock-out, and when each
// kind of refusal was last logged for it. Pure bookkeeping on a clock the caller gives
// (milliseconds that only go forward); no I/O, one thread.
//
// Promises:
// - Memory is bounded: at most `maxClients` addresses are kept, each in a fixed size.
//   An address untouched for a minute is forgotten (it holds nothing that still
//   counts), and only then: no number of other addresses washes out a record, so an
//   address over its limit or locked out stays so for its minute. When the table is
//   full, the addresses without a record share one (their limits count together) until
//   a place is free again.
// - An IPv6 client counts by its /64 network, the least a network hands to one site;
//   an IPv4 client by its address.
// - The send window is the last minute to the second: a message counts from its
//   second until sixty seconds later.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <unordered_map>

#include "ip_networks.h"
#include "sender.h"

namespace vel {

// Kinds of line that a client can cause as often as it likes, coalesced each on its own.
enum class RefusalLog {
  kAddress,
  kSendLimit,
  kPassword,
  kBadRequest,
  kBusy,
  kCrossSite,
  kUnknownHost,
  kUnknownReceiver,
  kSkipped,    // a resolved notification left out (resolved=0)
  kNotPassed,  // a message the alarm server did not take, or that could not be passed
  kCount
};

class ClientLedger {
 public:
  static constexpr int64_t kWindowMs = 60000;
  static constexpr int kFailuresToLock = 5;

  explicit ClientLedger(size_t maxClients = 4096);

  // Counts one message for `client` when fewer than `limit` were counted in the window;
  // false (nothing counted) when the limit is reached.
  bool TakeSend(const Sender& client, int limit, int64_t nowMs);
  // True at most once per window for each client and kind: whether to log this refusal.
  // When true, `unlogged` (if given) gets how many of the kind were not logged since the
  // last one that was.
  bool FirstInWindow(const Sender& client, RefusalLog kind, int64_t nowMs,
                     uint32_t* unlogged = nullptr);
  bool LockedOut(const Sender& client, int64_t nowMs);
  // Counts a wrong password; true when it is the one that locks the client out (the
  // kFailuresToLock-th within a window), for a window from now.
  bool CountFailure(const Sender& client, int64_t nowMs);

  size_t Size() const { return records_.size(); }

  // The sender under which `client` is counted: for IPv6, its /64 network.
  static Sender KeyOf(const Sender& client);

 private:
  struct Record {
    Sender client;
    int64_t touchedMs = 0;
    // Messages per second of the window, bucket (second % 60); `second` is the newest.
    std::array<uint32_t, 60> sends{};
    int64_t second = 0;
    std::array<int64_t, static_cast<size_t>(RefusalLog::kCount)> loggedMs{};
    bool logged[static_cast<size_t>(RefusalLog::kCount)] = {};
    std::array<uint32_t, static_cast<size_t>(RefusalLog::kCount)> unlogged{};
    std::array<int64_t, kFailuresToLock> failures{};  // times of the latest, a ring
    int failuresKept = 0;                             // in the ring, at most its size
    int nextFailure = 0;                              // where the next one goes
    int64_t lockedUntilMs = 0;
  };

  Record& Touch(const Sender& client, int64_t nowMs);
  // The record of `client` without making one: its own, the shared one when the table is
  // full, or none.
  const Record* Find(const Sender& client, int64_t nowMs);
  void Forget(int64_t nowMs);

  size_t maxClients_;
  std::list<Record> records_;  // most recently touched first
  Record shared_;              // of the addresses without a record while the table is full
  bool sharedInUse_ = false;
  std::unordered_map<Sender, std::list<Record>::iterator, SenderHash> index_;
};

}  // namespace vel
