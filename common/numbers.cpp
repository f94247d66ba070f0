// LeadingNumber and RoundHalfEven: the one leading-number parse of the module.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "vel_proc.h"

namespace vel {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Walks `text` skipping blanks, so that the caller sees only the characters that count:
// every blank, or only those before the first character taken.
class BlankSkipper {
 public:
  BlankSkipper(const std::string& text, NumberBlanks blanks) : text_(text), blanks_(blanks) {}
  // The next character that counts, or '\0' at the end (a NUL ends the number anyway,
  // since it cannot continue it; so does a blank once blanks no longer count).
  char Peek() {
    if (!taken_ || blanks_ == NumberBlanks::kAnywhere) {
      while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
    }
    return pos_ < text_.size() ? text_[pos_] : '\0';
  }
  void Take() {
    ++pos_;
    taken_ = true;
  }

 private:
  const std::string& text_;
  NumberBlanks blanks_;
  size_t pos_ = 0;
  bool taken_ = false;
};

// A number in from_chars form that a double cannot hold: infinity when it is too large,
// 0 when it is too small.
double OutOfRangeValue(const std::string& number) {
  const size_t e = number.find('e');
  const std::string mantissa = number.substr(0, e);
  // The decimal exponent, saturated: only its sign and rough size matter here.
  long exponent = 0;
  if (e != std::string::npos) {
    const bool negative = number[e + 1] == '-';
    for (size_t i = e + 1; i < number.size(); ++i) {
      if (IsDigit(number[i])) exponent = std::min(exponent * 10 + (number[i] - '0'), 100000L);
    }
    if (negative) exponent = -exponent;
  }
  // Where the first significant digit stands relative to the decimal point.
  const size_t point = std::min(mantissa.find('.'), mantissa.size());
  const size_t first = mantissa.find_first_of("123456789");
  if (first == std::string::npos) return 0.0;
  const long magnitude =
      first < point ? static_cast<long>(point - first) : -static_cast<long>(first - point - 1);
  return magnitude + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

}  // namespace

double LeadingNumber(const std::string& text, NumberBlanks blanks) {
  // The number's characters, without blanks, in the form from_chars reads.
  std::string number;
  BlankSkipper in(text, blanks);

  bool negative = false;
  if (in.Peek() == '+' || in.Peek() == '-') {
    negative = in.Peek() == '-';
    in.Take();
  }
  bool anyDigit = false;
  while (IsDigit(in.Peek())) {
    number += in.Peek();
    in.Take();
    anyDigit = true;
  }
  if (in.Peek() == '.') {
    in.Take();
    number += '.';
    while (IsDigit(in.Peek())) {
      number += in.Peek();
      in.Take();
      anyDigit = true;
    }
  }
  if (!anyDigit) return 0.0;

  const char marker = in.Peek();
  if (marker == 'e' || marker == 'E' || marker == 'd' || marker == 'D') {
    in.Take();
    std::string exponent = "e";
    if (in.Peek() == '+' || in.Peek() == '-') {
      exponent += in.Peek();
      in.Take();
    }
    bool exponentDigit = false;
    while (IsDigit(in.Peek())) {
      exponent += in.Peek();
      in.Take();
      exponentDigit = true;
    }
    if (exponentDigit) number += exponent;  // "1e" and "1e+" read as 1
  }

  double value = 0.0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value,
                                            std::chars_format::general);
  (void)end;
  if (error == std::errc::result_out_of_range) {
    value = OutOfRangeValue(number);
  } else if (error != std::errc()) {
    value = 0.0;
  }
  return negative ? -value : value;
}

int64_t RoundHalfEven(double value) {
  if (std::isnan(value)) return 0;
  // 2^63 is exactly representable; every double below it converts without overflow.
  constexpr double kLimit = 9223372036854775808.0;
  if (value >= kLimit) return std::numeric_limits<int64_t>::max();
  if (value < -kLimit) return std::numeric_limits<int64_t>::min();
  double whole = std::floor(value);
  const double fraction = value - whole;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
  if (whole >= kLimit) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(whole);
}

}  // namespace vel
