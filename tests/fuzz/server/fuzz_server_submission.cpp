// Form fields and page rendering: the fields of any request either come out or report an
// overflow, and a rendered page is made of whole lines.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "page.h"
#include "submission.h"
#include "vel_proc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  vel::Submission submission;
  try {
    submission = vel::ParseSubmission(bytes);
  } catch (const vel::OverflowError&) {
    return 0;
  }
  Check(submission.receivers.empty() || submission.receivers.back() == '\xFE',
        "receivers not closed by 0xFE");
  Check(vel::CommandEntry(submission).compare(0, 3, "FT:") == 0, "entry without its kind");
  // What may be handed over holds no byte that would change the entry.
  if (!submission.holdsSeparator) {
    Check(submission.message.find_first_of(std::string("\xFE\xFF\0", 3)) == std::string::npos,
          "separator in a message taken as clean");
  }

  const std::vector<std::string> receivers = {"A", "b"};
  vel::PageContext context;
  context.receivers = &receivers;
  context.version = "1.0.00";
  context.submittedReceivers = submission.receivers;
  context.submittedMessage = submission.message;
  for (const std::string& piece : vel::RenderPage(bytes, context)) {
    Check(piece.size() >= 2 && piece.compare(piece.size() - 2, 2, "\r\n") == 0,
          "piece without its line end");
  }
  return 0;
}
