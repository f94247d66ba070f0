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

Submission ParseSubmission(const std::string& request) {
  Submission submission;
  std::string message = "message=";
  submission.message = FormValue(GetFieldNoCase(request, 1, message));
  // All receivers in one walk over the request (a request may hold thousands of them).
  FieldWalk receivers(request, "receivers=", /*ignoreCase=*/true, 1);
  for (int16_t n = 1; n < INT16_MAX; ++n) {
    const std::string name = FormValue(receivers.Next());
    if (name.empty()) break;
    submission.receivers += name;
    submission.receivers += '\xFE';
  }
  return submission;
}

std::string CommandEntry(const Submission& submission) {
  return "FT:" + submission.receivers + submission.message;
}

}  // namespace vel
