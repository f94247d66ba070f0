// A posted message: the form fields "message=" and "receivers=" taken out of a complete
// request and decoded, and the command entry that carries them to the alarm server.
#pragma once

#include <string>

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

// What became of a posted message, and the status line that tells it (with Headers=1).
enum class SubmitOutcome {
  kHandedOver,  // 200: the alarm server has it
  kBad,         // 400: no receivers or no message (or a JSON body that is no message)
  kUnpassable,  // 400: it holds a byte that would change the command entry
  kOverLimit,   // 429: the client's send limit is reached
  kNotTaken,    // 503: the alarm server did not take it (no room, no library)
  kCrossSite,   // 403: a page of another web site made a browser post it
};
int StatusOf(SubmitOutcome outcome);

// Takes the fields out of `form` (the form text of a posted request, see FormText). The
// keys are found without regard to case; the first "message=" wins; receivers are taken
// until the first empty one. Throws OverflowError when the fields lie beyond what 16-bit
// text positions address.
Submission ParseSubmission(const std::string& form);

// "FT:", the receivers with their 0xFE bytes, the message.
std::string CommandEntry(const Submission& submission);

}  // namespace vel
