#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vel_proc.h"

namespace vel {
namespace {

std::string Bytes(std::initializer_list<int> codes) {
  std::string s;
  for (int c : codes) s += static_cast<char>(c);
  return s;
}

TEST(DecodeFormTextTest, WorkedExamples) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Hello+World", "Hello World"},
      {"a%2Bb", "a+b"},
      {"%41%42x", "ABx"},
      {"%4a and %4A", "J and J"},
      {"50%25+%26+more", "50% & more"},
      {"Line1%0D%0ALine2", "Line1\r\nLine2"},
      {"%E4", Bytes({228})},
      {"ab%", Bytes({'a', 'b', 0})},
      {"ab%4", Bytes({'a', 'b', 4})},
      {"%zzX", Bytes({0, 'X'})},
      {"%g1", Bytes({1})},
      {"%1g", Bytes({16})},
      {"%%41", Bytes({4, '1'})},
      // edges
      {"", ""},
      {"+++", "   "},
      {"%", Bytes({0})},
      {"%2525", "%25"},  // a produced "%" is never decoded again
      {"%00", Bytes({0})},
      {"%FF%fF", Bytes({255, 255})},
      {"%2B+", "+ "},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(DecodeFormText(input), expected) << "'" << input << "'";
  }
}

TEST(DecodeFormTextTest, EscapesAt32767AndLaterOverflow) {
  // A "%" at 32 766 still decodes.
  EXPECT_EQ(DecodeFormText(std::string(32765, 'x') + "%41"), std::string(32765, 'x') + "A");
  // At 32 767 it overflows.
  EXPECT_THROW(DecodeFormText(std::string(32766, 'x') + "%41"), OverflowError);
  EXPECT_THROW(DecodeFormText(std::string(40000, 'x') + "%"), OverflowError);
  // Positions count in the text as it shrinks: ten escapes in front pull a "%" that
  // arrived at 32 780 back to 32 760.
  std::string shrinking;
  for (int i = 0; i < 10; ++i) shrinking += "%41";
  shrinking += std::string(32780 - 1 - 30, 'x') + "%42";
  const std::string decoded = DecodeFormText(shrinking);
  EXPECT_EQ(decoded.size(), 10u + (32780 - 1 - 30) + 1);
  EXPECT_EQ(decoded.back(), 'B');
  // Pluses have no limit and do not move positions.
  const std::string pluses(50000, '+');
  EXPECT_EQ(DecodeFormText(pluses), std::string(50000, ' '));
  EXPECT_THROW(DecodeFormText(std::string(32766, '+') + "%41"), OverflowError);
}

TEST(HexToLongTest, Values) {
  const std::vector<std::pair<std::string, int32_t>> cases = {
      {"41", 65},
      {"ff", 255},
      {"FFFFFFF", 268435455},
      {"G1", 1},
      {"1G", 16},
      {"", 0},
      {"7FFFFFFF", 2147483647},
      {"000000000001", 1},     // zeros far to the left add nothing
      {"zzzzzzzzzzzz10", 16},  // nor do non-digits
      {"1zz", 256},            // a non-digit keeps its place
  };
  for (const auto& [digits, expected] : cases) {
    EXPECT_EQ(HexToLong(digits), expected) << "'" << digits << "'";
  }
}

TEST(HexToLongTest, ValuesAbove2147483647Overflow) {
  for (const char* digits : {"80000000", "FFFFFFFF", "100000000", "1zzzzzzzz"}) {
    EXPECT_THROW(HexToLong(digits), OverflowError) << digits;
  }
}

}  // namespace
}  // namespace vel
