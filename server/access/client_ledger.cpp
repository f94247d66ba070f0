#include "client_ledger.h"

#include <algorithm>
#include <cstdint>

namespace vel {

ClientLedger::ClientLedger(size_t maxClients) : maxClients_(std::max<size_t>(maxClients, 1)) {}

Sender ClientLedger::KeyOf(const Sender& client) {
  if (client.address.IsV4()) return client;
  Sender network = client;
  std::fill(network.address.bytes.begin() + 8, network.address.bytes.end(), uint8_t{0});
  return network;
}

void ClientLedger::Forget(int64_t nowMs) {
  // The list is in the order of the last touch: the stale ones are at its end.
  while (!records_.empty() && nowMs - records_.back().touchedMs >= kWindowMs) {
    index_.erase(records_.back().client);
    records_.pop_back();
  }
  if (sharedInUse_ && nowMs - shared_.touchedMs >= kWindowMs) sharedInUse_ = false;
}

const ClientLedger::Record* ClientLedger::Find(const Sender& client, int64_t nowMs) {
  Forget(nowMs);
  if (const auto found = index_.find(KeyOf(client)); found != index_.end()) return &*found->second;
  return records_.size() >= maxClients_ && sharedInUse_ ? &shared_ : nullptr;
}

ClientLedger::Record& ClientLedger::Touch(const Sender& sender, int64_t nowMs) {
  Forget(nowMs);
  const Sender client = KeyOf(sender);
  if (auto found = index_.find(client); found != index_.end()) {
    records_.splice(records_.begin(), records_, found->second);
  } else if (records_.size() >= maxClients_) {
    if (!sharedInUse_) {
      shared_ = Record{};
      shared_.second = nowMs / 1000;
      sharedInUse_ = true;
    }
    shared_.touchedMs = nowMs;
    return shared_;
  } else {
    records_.emplace_front();
    records_.front().client = client;
    records_.front().second = nowMs / 1000;
    index_[client] = records_.begin();
  }
  Record& record = records_.front();
  record.touchedMs = nowMs;
  return record;
}

bool ClientLedger::TakeSend(const Sender& client, int limit, int64_t nowMs) {
  Record& record = Touch(client, nowMs);
  const int64_t second = nowMs / 1000;
  // Seconds that have left the window since the last look count no more.
  for (int64_t s = record.second + 1; s <= second && s <= record.second + 60; ++s) {
    record.sends[static_cast<size_t>(s % 60)] = 0;
  }
  record.second = std::max(record.second, second);
  uint64_t counted = 0;
  for (uint32_t n : record.sends) counted += n;
  if (counted >= static_cast<uint64_t>(limit)) return false;
  ++record.sends[static_cast<size_t>(second % 60)];
  return true;
}

bool ClientLedger::FirstInWindow(const Sender& client, RefusalLog kind, int64_t nowMs,
                                 uint32_t* unlogged) {
  Record& record = Touch(client, nowMs);
  const size_t k = static_cast<size_t>(kind);
  if (record.logged[k] && nowMs - record.loggedMs[k] < kWindowMs) {
    if (record.unlogged[k] < UINT32_MAX) ++record.unlogged[k];
    return false;
  }
  record.logged[k] = true;
  record.loggedMs[k] = nowMs;
  if (unlogged) *unlogged = record.unlogged[k];
  record.unlogged[k] = 0;
  return true;
}

bool ClientLedger::LockedOut(const Sender& client, int64_t nowMs) {
  const Record* record = Find(client, nowMs);
  return record && nowMs < record->lockedUntilMs;
}

bool ClientLedger::CountFailure(const Sender& client, int64_t nowMs) {
  Record& record = Touch(client, nowMs);
  record.failures[static_cast<size_t>(record.nextFailure)] = nowMs;
  record.nextFailure = (record.nextFailure + 1) % kFailuresToLock;
  record.failuresKept = std::min(record.failuresKept + 1, kFailuresToLock);
  if (record.failuresKept < kFailuresToLock) return false;
  // The ring is full: the oldest of the latest kFailuresToLock is the next to be replaced.
  if (nowMs - record.failures[static_cast<size_t>(record.nextFailure)] >= kWindowMs) return false;
  record.lockedUntilMs = nowMs + kWindowMs;
  record.failuresKept = 0;
  return true;
}

}  // namespace vel
