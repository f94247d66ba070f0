// The history of the messages of velweb's outbox, rebuilt from its journal
// vel_outbox.dat (outbox_journal.h) the way velweb replays it at its start, for
// velctl history: one line, or one JSON object, per message.
#ifndef VELCTL_OUTBOX_HISTORY_H
#define VELCTL_OUTBOX_HISTORY_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "outbox_journal.h"
#include "terminal_text.h"

namespace velctl {

using vel::kOutboxJournalFile;

struct HistoryMessage {
  uint64_t id = 0;
  vel::MessageState state = vel::MessageState::kQueued;
  std::string user;     // empty: none
  std::string address;  // the client's, as velweb's log names it
  std::string entry;    // the command entry
  int64_t acceptedMs = 0;
  std::optional<int64_t> passedMs;  // the last pass, when passed again
  std::optional<int64_t> takenMs;
  std::optional<int64_t> expiredMs;
  int64_t lastStepMs = 0;  // of the step that gave it its state
};

// One message per accept, without the withdrawn ones, newest accepted first. Steps of a
// message whose accept is gone (left out of a compacted journal) count for nothing, and
// nothing follows a message's end (taken, expired).
std::vector<HistoryMessage> RebuildHistory(const std::vector<vel::OutboxRecord>& records);

// "2026-03-01 10:00:00  alice  GROUP1,JOHN  taken 2026-03-01 10:00:04  \"Fire\"": the time
// accepted, the user (or the address), the receivers, the state with the time of its
// step (local times), and the message; texts as EscapeBytes shows them on `terminal`.
std::string HistoryLine(const HistoryMessage& message, const vel::TerminalText* terminal);

// A JSON array of one object per message, in their order: texts in UTF-8, times in UTC
// ("2026-03-01T09:00:00.000Z") or null.
std::string HistoryJson(const std::vector<HistoryMessage>& messages);

// The start of the time a --since TIME names, in milliseconds since 1970: "YYYY-MM-DD",
// "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS" ("T" may stand for the blank) in local
// time, or "Nh", N hours before `nowMs`. False when the text is none of them or names
// no real time.
bool ParseSince(std::string_view text, int64_t nowMs, int64_t& sinceMs);

}  // namespace velctl

#endif  // VELCTL_OUTBOX_HISTORY_H
