#include "outbox_journal.h"

#include <array>

namespace vel {

namespace {

constexpr size_t kStepBytes = 16;  // id and time, the start of every payload

std::array<uint32_t, 256> Crc32cTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = c & 1 ? 0x82F63B78u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

void Put32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void Put64(std::string& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint64_t Get(std::string_view bytes, size_t at, int width) {
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) {
    value = (value << 8) | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
  }
  return value;
}

bool KnownType(uint8_t type) { return type >= 1 && type <= 6; }

// A text of the payload: its 4-byte length and its bytes, from `at`; false when the
// payload ends before it does.
bool GetText(std::string_view payload, size_t& at, std::string& text) {
  if (payload.size() - at < 4) return false;
  const uint64_t length = Get(payload, at, 4);
  at += 4;
  if (payload.size() - at < length) return false;
  text.assign(payload.substr(at, length));
  at += length;
  return true;
}

}  // namespace

uint32_t Crc32c(std::string_view bytes, uint32_t crc) {
  static const std::array<uint32_t, 256> table = Crc32cTable();
  crc = ~crc;
  for (const char byte : bytes) crc = table[(crc ^ static_cast<uint8_t>(byte)) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

const char* StateName(MessageState state) {
  switch (state) {
    case MessageState::kQueued:
      return "queued";
    case MessageState::kPassed:
      return "passed";
    case MessageState::kTaken:
      return "taken";
    case MessageState::kExpired:
      return "expired";
  }
  return "queued";
}

std::string EncodeRecord(const OutboxRecord& record) {
  std::string payload;
  Put64(payload, record.id);
  Put64(payload, static_cast<uint64_t>(record.timeMs));
  if (record.type == RecordType::kAccepted) {
    Put32(payload, static_cast<uint32_t>(record.sender.size()));
    payload += record.sender;
    Put32(payload, static_cast<uint32_t>(record.entry.size()));
    payload += record.entry;
    if (!record.user.empty()) {
      Put32(payload, static_cast<uint32_t>(record.user.size()));
      payload += record.user;
    }
  }
  const std::string typed = static_cast<char>(record.type) + payload;
  std::string out;
  Put32(out, Crc32c(typed));
  Put32(out, static_cast<uint32_t>(payload.size()));
  out += typed;
  return out;
}

JournalReplay ReplayJournal(std::string_view bytes) {
  JournalReplay replay;
  size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < kRecordHeadBytes) {
      replay.tail = "a record cut short";
      break;
    }
    const uint32_t checksum = static_cast<uint32_t>(Get(bytes, at, 4));
    const uint64_t length = Get(bytes, at + 4, 4);
    const uint8_t type = static_cast<uint8_t>(bytes[at + 8]);
    if (length > kMaxPayload || length < kStepBytes) {
      replay.tail = "a record of an impossible length";
      break;
    }
    if (bytes.size() - at - kRecordHeadBytes < length) {
      replay.tail = "a record cut short";
      break;
    }
    const std::string_view typed = bytes.substr(at + 8, 1 + length);
    if (Crc32c(typed) != checksum) {
      replay.tail = "a record whose checksum does not match";
      break;
    }
    if (!KnownType(type)) {
      replay.tail = "a record of no known type";
      break;
    }
    const std::string_view payload = typed.substr(1);
    OutboxRecord record;
    record.type = static_cast<RecordType>(type);
    record.id = Get(payload, 0, 8);
    record.timeMs = static_cast<int64_t>(Get(payload, 8, 8));
    size_t read = kStepBytes;
    if (record.type == RecordType::kAccepted &&
        !(GetText(payload, read, record.sender) && GetText(payload, read, record.entry))) {
      replay.tail = "an accept record without its sender and entry";
      break;
    }
    if (record.type == RecordType::kAccepted && read < payload.size() &&
        !GetText(payload, read, record.user)) {
      replay.tail = "an accept record with a user cut short";
      break;
    }
    if (read != payload.size()) {
      replay.tail = "a record with bytes past its fields";
      break;
    }
    replay.records.push_back(std::move(record));
    at += kRecordHeadBytes + length;
    replay.wholeBytes = at;
  }
  return replay;
}

}  // namespace vel
