// The vocabulary of a posted message, whatever posted it: the message and its receivers
// (from a form's fields "message=" and "receivers=", decoded, or from JSON and the
// webhooks), the command entry that carries them to the alarm server, and what became of
// the post (SubmitOutcome) with the status line that tells it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "command_entry.h"
#include "request.h"

namespace vel {

struct Submission {
  std::string message;    // SubmittedMessage
  std::string receivers;  // SubmittedReceivers: each name followed by the byte 0xFE
  // The message or a name holds a byte that would change the command entry: 0xFE (it
  // separates receivers), 0xFF (it ends an entry) or NUL (it ends the library's text).
  // Such a submission is never handed over: the alarm side would read other receivers
  // or another message than the ones typed.
  bool holdsSeparator = false;
  bool Complete() const { return !message.empty() && !receivers.empty(); }
};

// Whether `text` holds a byte that would change a command entry: 0xFE, 0xFF or NUL.
bool HoldsSeparator(std::string_view text);

// What became of a posted message, and the status line that tells it (with Headers=1).
// A retry can help only where the status is 503; the answer then says when to retry.
enum class SubmitOutcome {
  kHandedOver,       // 200: the alarm server has it
  kBad,              // 400: no receivers or no message (or a JSON body that is no message)
  kUnpassable,       // 400: it holds a byte that would change the command entry
  kLengthRequired,   // 411: its body came in chunks, not with a length
  kTooLong,          // 413: its command entry is longer than kLargestCommandEntry
  kOverLimit,        // 429: the client's send limit is reached
  kNotTaken,         // 503: the alarm server did not take it (no room, no library)
  kBusy,             // 503: the exchange was busy: nothing was handed over
  kCrossSite,        // 403: a page of another web site made a browser post it
  kUnknownReceiver,  // 400: it names a receiver that the receiver file does not hold
                     // (with [Access] KnownReceiversOnly=1)
  kNotPermitted,     // 403: it names a receiver its user may not page (the users file)
  kOutboxFull,       // 503: [Outbox] Size messages wait already: nothing was accepted
  kNotKept,          // 503: the outbox's disk refused the write or the sync
};
int StatusOf(SubmitOutcome outcome);
// Seconds after which a retry may succeed ("Retry-After"); 0 where none can.
int RetryAfterOf(SubmitOutcome outcome);

// Takes the fields out of `form` (the form text of a posted request, see FormText): its
// "&"-separated name=value fields, a name matched whole and without regard to case
// ("old_message=" is no "message="). The first "message" wins; receivers are taken until
// the first empty one. Throws OverflowError when a field used starts beyond what 16-bit
// text positions address.
Submission ParseSubmission(const std::string& form);

// Whether `form` has a field named "message" or "receivers" (matched as above).
bool HoldsMessageFields(const std::string& form);

// The form text of a POST: its body. When the body has neither a "message" nor a
// "receivers" field (HoldsMessageFields), the query of the request line (from "?" to
// the blank before the version) instead. Header lines never give a field.
std::string FormText(const HttpRequest& request);

// "FT:", the receivers with their 0xFE bytes, the message.
std::string CommandEntry(const Submission& submission);

}  // namespace vel
