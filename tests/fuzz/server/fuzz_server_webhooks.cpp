// Notifications of monitoring systems and plain-text posts, on one request: the path and
// query, the payload as Alertmanager's and as Grafana's, and the body as plain text. A
// message that comes out must fit the command buffer and carry nothing that would change
// the command entry; an alert's text fits whatever room it is given.
#include <cstdint>
#include <string>

#include "alert_webhooks.h"
#include "fuzz_check.h"
#include "request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const vel::HttpRequest request(std::string(reinterpret_cast<const char*>(data), size));
  if (request.Source() != vel::PostSource::kForm) {
    Check(request.Text().size() >= 5 && (request.Text()[0] == 'P' || request.Text()[0] == 'p'),
          "a post's source but no POST");
  }
  for (const vel::PostSource source :
       {vel::PostSource::kAlertmanager, vel::PostSource::kGrafana, vel::PostSource::kText}) {
    const vel::PostedMessage message = vel::ParsePostedMessage(source, request);
    if (!message.error.empty() || message.skipped) {
      Check(message.submission.message.empty(), "a message along with a refusal");
      continue;
    }
    Check(message.submission.Complete(), "a message without receivers or text");
    Check(message.submission.receivers.back() == '\xFE', "receivers not ended by 0xFE");
    Check(vel::CommandEntry(message.submission).size() <= vel::kLargestCommandEntry,
          "an entry the command buffer can never take");
    // Only an escaped or 8-bit byte, or a NUL, can hold a separator.
    bool plain = true;
    for (const char c : request.Text()) plain = plain && c != '%' && c > 0;
    Check(!plain || !message.submission.holdsSeparator, "a separator found where none is");
    if (source != vel::PostSource::kText) {
      Check(message.submission.message.find_first_of(std::string("\xFE\xFF\0", 3)) ==
                std::string::npos,
            "an alert text with a byte that changes the entry");
    }
  }
  const std::string body(request.Body());
  for (const size_t room : {size_t{0}, size_t{9}, size_t{40}, size_t{4000}}) {
    const vel::AlertText text = vel::AlertMessage(vel::PostSource::kAlertmanager, body, room);
    Check(text.text.size() <= room, "an alert text longer than its room");
  }
  return 0;
}
