// The format of the outbox's journal, vel_outbox.dat: what a message accepted for the
// alarm server went through, as records appended one after the other, each framed so that
// a reader can tell a whole record from a torn or damaged one. One format, one module:
// the writer and the replay at start both use these functions and nothing else.
//
// A record is a head of 9 bytes, then its payload:
//   checksum  4 bytes, little-endian: CRC-32C of the type byte and the payload
//   length    4 bytes, little-endian: the payload's length (at most kMaxPayload)
//   type      1 byte (RecordType)
// The payload of every type begins with the message's id (8 bytes) and the time of the
// step (8 bytes, milliseconds since 1970, both little-endian); an accept goes on with the
// sender's text and the command entry, each as a 4-byte length and its bytes, and, when
// the message came from a user of the users file, the user's name in the same form.
//
// A replay reads records from the start until one is cut short, fails its checksum, is
// longer than kMaxPayload or of no known type: that one and everything after it is the
// torn tail (a write that a crash or a power loss cut), and only the whole records before
// it count. Pure functions on byte strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vel {

// The journal's name in the program directory.
inline constexpr const char* kOutboxJournalFile = "vel_outbox.dat";

enum class RecordType : uint8_t {
  kAccepted = 1,  // a message accepted: its sender and command entry, made durable
  kPassed = 2,    // stored in the command buffer
  kTaken = 3,     // seen taken out of the command buffer by the alarm server
  kExpired = 4,   // dropped unpassed, past its lifetime
  // Back in the outbox after a kPassed: the buffer refused it after all, or it was taken
  // out again at a stop (the region went with this process).
  kReturned = 5,
  // An accept whose sync failed: the client was told that nothing was accepted.
  kWithdrawn = 6,
};

// Where a message stands, as its records tell it (and as answers name it).
enum class MessageState { kQueued, kPassed, kTaken, kExpired };
// "queued", "passed", "taken", "expired".
const char* StateName(MessageState state);

struct OutboxRecord {
  RecordType type = RecordType::kAccepted;
  uint64_t id = 0;
  int64_t timeMs = 0;
  std::string sender;  // kAccepted only
  std::string entry;   // kAccepted only: the command entry's bytes
  std::string user;    // kAccepted only: the user who sent it (empty: none)
  friend bool operator==(const OutboxRecord&, const OutboxRecord&) = default;
};

inline constexpr size_t kRecordHeadBytes = 9;
// Far more than an accept of the longest command entry and a sender's text needs.
inline constexpr size_t kMaxPayload = 64 * 1024;

// CRC-32C (Castagnoli), as the journal's checksums use it.
uint32_t Crc32c(std::string_view bytes, uint32_t crc = 0);

// The framed bytes of `record`, to append as they are.
std::string EncodeRecord(const OutboxRecord& record);

struct JournalReplay {
  std::vector<OutboxRecord> records;  // the whole records, in their order
  size_t wholeBytes = 0;              // where the last whole record ends
  // Why the bytes after wholeBytes are no record ("cut short", "checksum mismatch", ...);
  // empty when every byte belongs to a whole record.
  std::string tail;
};

JournalReplay ReplayJournal(std::string_view bytes);

}  // namespace vel
