#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "vel_proc.h"

namespace vel {
namespace {

TEST(LeadingNumberTest, ReadsTheLeadingDecimalNumber) {
  const std::vector<std::pair<std::string, double>> cases = {
      {"80", 80},
      {"8080x", 8080},
      {"abc", 0},
      {"", 0},
      {"   443", 443},
      {"\t\n 12", 12},
      {"1 2 3", 1},  // a blank ends the number
      {"- 5", 0},
      {"1. 5", 1},
      {"1e 3", 1},
      {"+7", 7},
      {"+-5", 0},
      {"2.5", 2.5},
      {".5", 0.5},
      {".", 0},
      {"1.2.3", 1.2},
      {"1e3", 1000},
      {"1E+2x", 100},
      {"25e-1", 2.5},
      {"1d2", 100},  // D marks an exponent as E does
      {"1e", 1},
      {"1e+", 1},
      {"12=Hello", 12},
      {"\r12", 0},  // a CR is not a blank
      {"0x1A", 0},  // decimal only
      {"007", 7},
      {"1e999", std::numeric_limits<double>::infinity()},
      {"-1e999", -std::numeric_limits<double>::infinity()},
      {"1e-999", 0},
      {"0." + std::string(400, '0') + "1", 0},
      {std::string(400, '9'), std::numeric_limits<double>::infinity()},
      {"0.0001e400", std::numeric_limits<double>::infinity()},
      {std::string(400, '1') + "e-800", 0},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(LeadingNumber(text), expected) << "'" << text << "'";
  }
}

// The numbers of language lines ignore blanks inside them as well.
TEST(LeadingNumberTest, BlanksAnywhereAreSkippedWhenAsked) {
  const std::vector<std::pair<std::string, double>> cases = {
      {"1 2 3", 123}, {"- 5", -5}, {" 1 . 5", 1.5}, {"1 e 2", 100}, {"\t12\t=x", 12}, {"a1", 0},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(LeadingNumber(text, NumberBlanks::kAnywhere), expected) << "'" << text << "'";
  }
}

TEST(RoundHalfEvenTest, HalvesGoToTheEvenNeighbour) {
  const std::vector<std::pair<double, int64_t>> cases = {
      {0.5, 0},    {2.5, 2},    {3.5, 4},   {-0.5, 0}, {-1.5, -2},
      {2.4999, 2}, {2.5001, 3}, {-2.6, -3}, {0, 0},    {1e15 + 0.5, 1000000000000000},
  };
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(RoundHalfEven(value), expected) << value;
  }
}

TEST(RoundHalfEvenTest, OutOfRangeSaturates) {
  EXPECT_EQ(RoundHalfEven(std::numeric_limits<double>::infinity()),
            std::numeric_limits<int64_t>::max());
  EXPECT_EQ(RoundHalfEven(-std::numeric_limits<double>::infinity()),
            std::numeric_limits<int64_t>::min());
  EXPECT_EQ(RoundHalfEven(1e300), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(RoundHalfEven(std::nan("")), 0);
}

}  // namespace
}  // namespace vel
