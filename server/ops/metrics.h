// What monitoring may ask of the server: GET /metrics in the Prometheus text format
// (version 0.0.4) and GET /health in JSON. Counters are kept by the event loop (but for
// the kept and handed-back messages, which the exchange thread counts atomically); the
// gauges come from the caller, out of what it knows without calling the library.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "outbox.h"

namespace vel {

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

struct Gauges {
  int connectionsOpen = 0;
  bool libraryLoaded = false;
  bool regionJoined = false;
  bool alarmServerTaking = true;  // not stalled
  bool alarmServerSeen = false;
  int waiting = 0;
  int64_t secondsSinceMoved = 0;
  int32_t servedRequests = 0;
  // With an outbox: its counts, the age of its oldest message, whether its disk refuses,
  // and how old that message may be before the server counts as failing (StallSeconds).
  std::optional<OutboxCounts> outbox;
  int64_t outboxOldestSeconds = 0;
  bool outboxFailing = false;
  int64_t stallSeconds = 0;
  bool OutboxStalled() const {
    return outbox && (outboxFailing || (stallSeconds > 0 && outboxOldestSeconds > stallSeconds));
  }
};

class ServerMetrics {
 public:
  // Why a request or message was refused, as the "reason" label says it.
  static constexpr const char* kAddress = "address";
  static constexpr const char* kPassword = "password";
  static constexpr const char* kLockedOut = "locked_out";
  static constexpr const char* kSendLimit = "send_limit";
  static constexpr const char* kBadRequest = "bad_request";
  static constexpr const char* kUnpassable = "unpassable";
  static constexpr const char* kNotTaken = "not_taken";
  static constexpr const char* kLengthRequired = "length_required";
  static constexpr const char* kTooLong = "too_long";
  static constexpr const char* kExchangeBusy = "exchange_busy";
  static constexpr const char* kCrossSite = "cross_site";
  static constexpr const char* kPasswordBusy = "password_busy";
  static constexpr const char* kUnknownHost = "unknown_host";
  static constexpr const char* kUnknownReceiver = "unknown_receiver";
  static constexpr const char* kOutboxFull = "outbox_full";
  static constexpr const char* kNotPermitted = "not_permitted";
  static constexpr const char* kNotKept = "outbox_not_kept";
  // Every reason above: each is exported, at 0 until it happens.
  static constexpr const char* kRefusalReasons[] = {
      kAddress,     kPassword,        kLockedOut,  kSendLimit,    kBadRequest,  kUnpassable,
      kNotTaken,    kLengthRequired,  kTooLong,    kExchangeBusy, kCrossSite,   kPasswordBusy,
      kUnknownHost, kUnknownReceiver, kOutboxFull, kNotKept,      kNotPermitted};

  ServerMetrics() {
    for (const char* reason : kRefusalReasons) refusals_[reason] = 0;
  }

  void CountResponse(int status) {
    if (status >= 100 && status < static_cast<int>(responses_.size())) ++responses_[status];
  }
  void CountHandedOver() { ++handedOver_; }
  void CountRefusal(const char* reason) { ++refusals_[reason]; }
  void CountMadeRoom() { ++madeRoom_; }
  // With accounts: a message of the user `user` (a name of the users file, in
  // Windows-1252) accepted (`refusal` nullptr) or refused for `refusal`.
  void CountUser(const std::string& user, const char* refusal) {
    if (refusal) {
      ++userRefusals_[user][refusal];
    } else {
      ++userAccepted_[user];
    }
  }
  void CountLockTimeout() { ++lockTimeouts_; }

  std::string Render(const Gauges& gauges) const;

 private:
  std::array<uint64_t, 600> responses_{};  // by status
  std::map<std::string, uint64_t> refusals_;
  uint64_t handedOver_ = 0;
  std::map<std::string, uint64_t> userAccepted_;
  std::map<std::string, std::map<std::string, uint64_t>> userRefusals_;
  uint64_t madeRoom_ = 0;
  uint64_t lockTimeouts_ = 0;
};

// {"status": "ok"|"failing"|"no_alarm_server", "libraryLoaded": ..., "regionJoined": ...,
//  "alarmServerSeen": ..., "alarmServerTaking": ..., "waiting": N, "secondsSinceMoved": N};
// `healthy` tells whether all is well (the library loaded, the region joined, an alarm
// server seen and taking). "no_alarm_server": all is well but that none has been seen.
// With an outbox, "outbox": {"queued": N, "passed": N, "oldestSeconds": N, "failing": ...}
// follows, and a message older than StallSeconds, or a disk that refuses, is failing.
std::string HealthJson(const Gauges& gauges, bool& healthy);

}  // namespace vel
