#include "submission.h"

#include "vel_proc.h"

namespace vel {

namespace {

// A field's value: cut at its "&" and decoded.
std::string FormValue(const std::string& field) {
  std::string ampersand = "&";
  return DecodeFormText(GetField(field, 0, ampersand));
}

}  // namespace

Submission ParseSubmission(const std::string& form) {
  static const std::string kSeparators("\xFE\xFF\0", 3);
  Submission submission;
  std::string message = "message=";
  submission.message = FormValue(GetFieldNoCase(form, 1, message));
  submission.holdsSeparator = submission.message.find_first_of(kSeparators) != std::string::npos;
  // All receivers in one walk over the form (a form may hold thousands of them).
  FieldWalk receivers(form, "receivers=", /*ignoreCase=*/true, 1);
  for (int16_t n = 1; n < INT16_MAX; ++n) {
    const std::string name = FormValue(receivers.Next());
    if (name.empty()) break;
    if (name.find_first_of(kSeparators) != std::string::npos) submission.holdsSeparator = true;
    submission.receivers += name;
    submission.receivers += '\xFE';
  }
  return submission;
}

int StatusOf(SubmitOutcome outcome) {
  switch (outcome) {
    case SubmitOutcome::kHandedOver:
      return 200;
    case SubmitOutcome::kBad:
    case SubmitOutcome::kUnpassable:
      return 400;
    case SubmitOutcome::kOverLimit:
      return 429;
    case SubmitOutcome::kNotTaken:
      return 503;
    case SubmitOutcome::kCrossSite:
      return 403;
  }
  return 500;
}

std::string CommandEntry(const Submission& submission) {
  return "FT:" + submission.receivers + submission.message;
}

}  // namespace vel
