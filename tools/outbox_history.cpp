#include "outbox_history.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "command_text.h"

namespace velctl {

namespace {

// "2026-03-01 10:00:00" in local time, or with `utc` "2026-03-01T09:00:00.000Z".
std::string FormatTime(int64_t ms, bool utc) {
  int64_t seconds = ms / 1000;
  int64_t millis = ms % 1000;
  if (millis < 0) {
    millis += 1000;
    --seconds;
  }
  const time_t when = static_cast<time_t>(seconds);
  tm parts{};
  if ((utc ? gmtime_r(&when, &parts) : localtime_r(&when, &parts)) == nullptr) {
    return std::to_string(ms) + " ms";  // past what the calendar functions reach
  }
  char text[64];
  strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &parts);
  if (!utc) return text;
  char fraction[16];
  std::snprintf(fraction, sizeof fraction, ".%03dZ", static_cast<int>(millis));
  return text + std::string(fraction);
}

// A Windows-1252 text as a JSON string in UTF-8.
void AppendJsonString(std::string& out, std::string_view cp1252) {
  static const vel::TerminalText utf8("UTF-8");
  out += '"';
  for (const char c : cp1252) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else if (b >= 0x80 && !utf8.Character(b).empty()) {
      out += utf8.Character(b);
    } else {
      // Control bytes, and the five bytes Windows-1252 leaves unassigned, which keep
      // their number as the control characters U+0081 ... of the same value.
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", b);
      out += escape;
    }
  }
  out += '"';
}

void AppendJsonTime(std::string& out, const std::optional<int64_t>& ms) {
  out += ms ? "\"" + FormatTime(*ms, true) + "\"" : std::string("null");
}

// `count` digits of `text` from `at`.
bool ReadDigits(std::string_view text, size_t at, size_t count, int& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

std::vector<HistoryMessage> RebuildHistory(const std::vector<vel::OutboxRecord>& records) {
  using vel::RecordType;
  std::map<uint64_t, HistoryMessage> byId;
  for (const vel::OutboxRecord& record : records) {
    if (record.type == RecordType::kAccepted) {
      HistoryMessage& message = byId[record.id];
      message = {};
      message.id = record.id;
      message.user = record.user;
      message.address = record.sender;
      message.entry = record.entry;
      message.acceptedMs = message.lastStepMs = record.timeMs;
      continue;
    }
    const auto found = byId.find(record.id);
    if (found == byId.end()) continue;
    HistoryMessage& message = found->second;
    if (message.state == vel::MessageState::kTaken || message.state == vel::MessageState::kExpired)
      continue;
    message.lastStepMs = record.timeMs;
    switch (record.type) {
      case RecordType::kPassed:
        message.state = vel::MessageState::kPassed;
        message.passedMs = record.timeMs;
        break;
      case RecordType::kReturned:
        message.state = vel::MessageState::kQueued;
        break;
      case RecordType::kTaken:
        message.state = vel::MessageState::kTaken;
        message.takenMs = record.timeMs;
        break;
      case RecordType::kExpired:
        message.state = vel::MessageState::kExpired;
        message.expiredMs = record.timeMs;
        break;
      case RecordType::kWithdrawn:
        byId.erase(found);
        break;
      case RecordType::kAccepted:
        break;
    }
  }
  std::vector<HistoryMessage> messages;
  messages.reserve(byId.size());
  for (auto& [id, message] : byId) messages.push_back(std::move(message));
  std::sort(messages.begin(), messages.end(), [](const HistoryMessage& a, const HistoryMessage& b) {
    return a.acceptedMs != b.acceptedMs ? a.acceptedMs > b.acceptedMs : a.id > b.id;
  });
  return messages;
}

std::string HistoryLine(const HistoryMessage& message, const vel::TerminalText* terminal) {
  const CommandEntry command = DecodeCommand(message.entry);
  std::string receivers;
  for (const std::string& name : command.receivers) {
    receivers += (receivers.empty() ? "" : ",") + EscapeBytes(name, terminal);
  }
  return FormatTime(message.acceptedMs, false) + "  " +
         EscapeBytes(message.user.empty() ? message.address : message.user, terminal) + "  " +
         (receivers.empty() ? "-" : receivers) + "  " + vel::StateName(message.state) + " " +
         FormatTime(message.lastStepMs, false) + "  \"" + EscapeBytes(command.message, terminal) +
         "\"";
}

std::string HistoryJson(const std::vector<HistoryMessage>& messages) {
  std::string out = "[";
  for (const HistoryMessage& message : messages) {
    const CommandEntry command = DecodeCommand(message.entry);
    out += out.size() > 1 ? ",\n  " : "\n  ";
    out += "{\"id\": " + std::to_string(message.id) + ", \"state\": \"" +
           vel::StateName(message.state) + "\", \"user\": ";
    if (message.user.empty()) {
      out += "null";
    } else {
      AppendJsonString(out, message.user);
    }
    out += ", \"address\": ";
    AppendJsonString(out, message.address);
    out += ", \"receivers\": [";
    for (size_t i = 0; i < command.receivers.size(); ++i) {
      if (i > 0) out += ", ";
      AppendJsonString(out, command.receivers[i]);
    }
    out += "], \"message\": ";
    AppendJsonString(out, command.message);
    out += ", \"accepted\": ";
    AppendJsonTime(out, message.acceptedMs);
    out += ", \"passed\": ";
    AppendJsonTime(out, message.passedMs);
    out += ", \"taken\": ";
    AppendJsonTime(out, message.takenMs);
    out += ", \"expired\": ";
    AppendJsonTime(out, message.expiredMs);
    out += "}";
  }
  out += messages.empty() ? "]" : "\n]";
  return out;
}

bool ParseSince(std::string_view text, int64_t nowMs, int64_t& sinceMs) {
  if (text.size() >= 2 && text.size() <= 7 && text.back() == 'h') {
    int hours = 0;
    if (!ReadDigits(text, 0, text.size() - 1, hours)) return false;
    sinceMs = nowMs - int64_t{hours} * 3600 * 1000;
    return true;
  }
  if (text.size() != 10 && text.size() != 16 && text.size() != 19) return false;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!ReadDigits(text, 0, 4, year) || text[4] != '-' || !ReadDigits(text, 5, 2, month) ||
      text[7] != '-' || !ReadDigits(text, 8, 2, day))
    return false;
  if (text.size() > 10 && ((text[10] != ' ' && text[10] != 'T') || !ReadDigits(text, 11, 2, hour) ||
                           text[13] != ':' || !ReadDigits(text, 14, 2, minute)))
    return false;
  if (text.size() > 16 && (text[16] != ':' || !ReadDigits(text, 17, 2, second))) return false;
  tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  parts.tm_isdst = -1;
  const time_t when = mktime(&parts);
  // mktime moves what is out of range on ("02-30" to March): such a time is not real,
  // nor is one that a change to summer time skips.
  if (parts.tm_year != year - 1900 || parts.tm_mon != month - 1 || parts.tm_mday != day ||
      parts.tm_hour != hour || parts.tm_min != minute || parts.tm_sec != second)
    return false;
  sinceMs = int64_t{when} * 1000;
  return true;
}

}  // namespace velctl
