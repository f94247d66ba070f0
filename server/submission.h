// A posted message: the form fields "message=" and "receivers=" taken out of a complete
// request and decoded, and the command entry that carries them to the alarm server.
#pragma once

#include <string>

namespace vel {

struct Submission {
  std::string message;    // SubmittedMessage
  std::string receivers;  // SubmittedReceivers: each name followed by the byte 0xFE
  bool Complete() const { return !message.empty() && !receivers.empty(); }
};

// Takes the fields out of `request` (the complete request: header block and declared
// body, nothing after it). The keys are found anywhere and without regard to case; the
// first "message=" wins; receivers are taken until the first empty one. Throws
// OverflowError when the fields lie beyond what 16-bit text positions address.
Submission ParseSubmission(const std::string& request);

// "FT:", the receivers with their 0xFE bytes, the message.
std::string CommandEntry(const Submission& submission);

}  // namespace vel
