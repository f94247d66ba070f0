#include "submission.h"

#include <string_view>

#include "text_case.h"
#include "vel_proc.h"

namespace vel {

namespace {

constexpr size_t kLastPosition = 32767;

// Calls `take(name, value, valueStart)` for each "&"-separated field that has a "=".
template <typename Take>
void ForEachField(const std::string& form, Take take) {
  for (size_t start = 0; start <= form.size();) {
    size_t end = form.find('&', start);
    if (end == std::string::npos) end = form.size();
    const std::string_view field(form.data() + start, end - start);
    const size_t equals = field.find('=');
    if (equals != std::string_view::npos &&
        !take(field.substr(0, equals), field.substr(equals + 1), start + equals + 1)) {
      return;
    }
    start = end + 1;
  }
}

// A field's value, decoded.
std::string FormValue(std::string_view value, size_t position) {
  if (position > kLastPosition) throw OverflowError("a form field beyond 16-bit positions");
  return DecodeFormText(std::string(value));
}

}  // namespace

bool HoldsSeparator(std::string_view text) {
  return text.find_first_of(std::string_view("\xFE\xFF\0", 3)) != std::string_view::npos;
}

Submission ParseSubmission(const std::string& form) {
  Submission submission;
  bool message = false, receiversEnded = false;
  ForEachField(form, [&](std::string_view name, std::string_view value, size_t position) {
    if (!message && EqualsAsciiNoCase(name, "message")) {
      message = true;
      submission.message = FormValue(value, position);
      submission.holdsSeparator = submission.holdsSeparator || HoldsSeparator(submission.message);
    } else if (!receiversEnded && EqualsAsciiNoCase(name, "receivers")) {
      const std::string receiver = FormValue(value, position);
      if (receiver.empty()) {
        receiversEnded = true;
      } else {
        submission.holdsSeparator = submission.holdsSeparator || HoldsSeparator(receiver);
        submission.receivers += receiver;
        submission.receivers += '\xFE';
      }
    }
    return !(message && receiversEnded);
  });
  return submission;
}

bool HoldsMessageFields(const std::string& form) {
  bool found = false;
  ForEachField(form, [&](std::string_view name, std::string_view, size_t) {
    found = EqualsAsciiNoCase(name, "message") || EqualsAsciiNoCase(name, "receivers");
    return !found;
  });
  return found;
}

std::string FormText(const HttpRequest& request) {
  std::string body(request.Body());
  if (HoldsMessageFields(body)) return body;
  const std::string& text = request.Text();
  const std::string line = text.substr(0, text.find('\r'));
  const size_t query = line.find('?');
  if (query == std::string::npos) return body;
  size_t end = line.rfind(' ');
  if (end == std::string::npos || end < query) end = line.size();
  return line.substr(query + 1, end - query - 1);
}

int StatusOf(SubmitOutcome outcome) {
  switch (outcome) {
    case SubmitOutcome::kHandedOver:
      return 200;
    case SubmitOutcome::kBad:
    case SubmitOutcome::kUnpassable:
    case SubmitOutcome::kUnknownReceiver:
      return 400;
    case SubmitOutcome::kLengthRequired:
      return 411;
    case SubmitOutcome::kTooLong:
      return 413;
    case SubmitOutcome::kOverLimit:
      return 429;
    case SubmitOutcome::kNotTaken:
    case SubmitOutcome::kBusy:
    case SubmitOutcome::kOutboxFull:
    case SubmitOutcome::kNotKept:
      return 503;
    case SubmitOutcome::kCrossSite:
    case SubmitOutcome::kNotPermitted:
      return 403;
  }
  return 500;
}

int RetryAfterOf(SubmitOutcome outcome) {
  switch (outcome) {
    case SubmitOutcome::kNotTaken:
    case SubmitOutcome::kBusy:
    case SubmitOutcome::kNotKept:
      return 5;
    case SubmitOutcome::kOutboxFull:
      return 30;
    default:
      return 0;
  }
}

std::string CommandEntry(const Submission& submission) {
  return "FT:" + submission.receivers + submission.message;
}

}  // namespace vel
