// GetField and GetFieldNoCase: the n-th field of a text divided by a separator.
#include <string>

#include "text_case.h"
#include "text_positions.h"
#include "vel_proc.h"

namespace vel {

void CheckTextPosition(int64_t position) {
  if (position > kLastTextPosition) {
    throw OverflowError("text position " + std::to_string(position) + " past " +
                        std::to_string(kLastTextPosition));
  }
}

namespace {

// Position (from 1) of the first `separator` in `haystack` at or after position `from`,
// or 0 when there is none.
int64_t FindFrom(const std::string& haystack, const std::string& separator, int64_t from) {
  const size_t found = haystack.find(separator, static_cast<size_t>(from - 1));
  if (found == std::string::npos) return 0;
  const int64_t position = static_cast<int64_t>(found) + 1;
  CheckTextPosition(position);
  return position;
}

void DetectSeparator(const std::string& text, std::string& separator) {
  if (text.find('\t') != std::string::npos) {
    separator = "\t";
  } else if (text.find(';') != std::string::npos) {
    separator = ";";
  }
}

// The field walk shared by GetField, GetFieldNoCase and FieldWalk. `haystack` and
// `needle` are what is searched (upper-cased for the case-blind variant), `text` is what
// a field is cut from. A field lies from `start` (counted from 1) to the separator at
// `end`, or to the end of the text when `end` is 0.

// Moves from one field to the next.
void StepField(const std::string& haystack, const std::string& needle, int64_t& start,
               int64_t& end) {
  start = end + static_cast<int64_t>(needle.size());
  CheckTextPosition(start);
  end = FindFrom(haystack, needle, start);
}

// Finds field `index`; false when the text has fewer fields (or the index is negative).
bool FindField(const std::string& haystack, const std::string& needle, int16_t index,
               int64_t& start, int64_t& end) {
  int n = index;
  start = 1;
  end = FindFrom(haystack, needle, 1);
  for (; n > 0 && end > 0; --n) StepField(haystack, needle, start, end);
  return n == 0;
}

std::string FieldText(const std::string& text, int64_t start, int64_t end) {
  if (end == 0) {
    end = static_cast<int64_t>(text.size()) + 1;
    CheckTextPosition(end);
  }
  return text.substr(static_cast<size_t>(start - 1), static_cast<size_t>(end - start));
}

std::string CutField(const std::string& text, const std::string& haystack,
                     const std::string& needle, int16_t index) {
  int64_t start, end;
  if (!FindField(haystack, needle, index, start, end)) return std::string();
  return FieldText(text, start, end);
}

}  // namespace

std::string GetField(const std::string& text, int16_t index, std::string& separator) {
  if (separator.empty()) DetectSeparator(text, separator);
  // An empty separator is found wherever the search starts: the walk never advances.
  if (separator.empty()) return std::string();
  return CutField(text, text, separator, index);
}

std::string GetFieldNoCase(const std::string& text, int16_t index, std::string& separator) {
  if (separator.empty()) DetectSeparator(text, separator);
  if (separator.empty()) return std::string();
  return CutField(text, Cp1252UpperText(text), Cp1252UpperText(separator), index);
}

FieldWalk::FieldWalk(const std::string& text, const std::string& separator, bool ignoreCase,
                     int16_t first)
    : text_(text),
      upper_(ignoreCase ? Cp1252UpperText(text) : std::string()),
      needle_(ignoreCase ? Cp1252UpperText(separator) : separator),
      ignoreCase_(ignoreCase),
      index_(first) {}

std::string FieldWalk::Next() {
  if (done_ || needle_.empty()) return std::string();
  if (!started_ && index_ < 0) {
    ++index_;  // negative indexes give the empty text
    return std::string();
  }
  const std::string& haystack = ignoreCase_ ? upper_ : text_;
  if (!started_) {
    // The first field is found as CutField finds it, each later one a step further.
    started_ = true;
    if (!FindField(haystack, needle_, index_, start_, found_)) {
      done_ = true;
      return std::string();
    }
  } else {
    if (found_ == 0 || index_ == INT16_MAX) {
      done_ = true;
      return std::string();
    }
    ++index_;
    StepField(haystack, needle_, start_, found_);
  }
  return FieldText(text_, start_, found_);
}

}  // namespace vel
