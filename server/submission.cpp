#include "submission.h"

#include "vel_proc.h"

namespace vel {

namespace {

// The value after the n-th `key`, cut at its "&" and decoded.
std::string FormValue(const std::string& request, int16_t n, const std::string& key) {
  std::string separator = key;
  std::string ampersand = "&";
  return DecodeFormText(GetField(GetFieldNoCase(request, n, separator), 0, ampersand));
}

}  // namespace

Submission ParseSubmission(const std::string& request) {
  Submission submission;
  submission.message = FormValue(request, 1, "message=");
  for (int16_t n = 1; n < INT16_MAX; ++n) {
    const std::string name = FormValue(request, n, "receivers=");
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
