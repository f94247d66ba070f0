#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vel_proc.h"

namespace vel {
namespace {

struct FieldCase {
  std::string text;
  int16_t index;
  std::string separator;
  std::string field;
};

TEST(GetFieldTest, WorkedExamples) {
  const std::vector<FieldCase> cases = {
      {"GET /a.htm HTTP/1.0", 1, " ", "/a.htm"},
      {"GET /a.htm HTTP/1.0", 3, " ", ""},
      {"GET /A.HTM HTTP/1.0", 1, "/", "A.HTM HTTP"},
      {"a;;b", 1, ";", ""},
      {"a;;b", 2, ";", "b"},
      {"a;", 1, ";", ""},
      {"abc", 0, ";", "abc"},
      {"abc", 1, ";", ""},
      {"abc", -1, ";", ""},
      {"12=Hello=World", 1, "=", "Hello"},
      {"x::y::z", 1, "::", "y"},
      {"Name=Ann", 0, "name=", "Name=Ann"},
      // edges
      {"", 0, ";", ""},
      {"", -3, "::", ""},
      {";a", 0, ";", ""},
      {";a", 1, ";", "a"},
      {"a;b", 32767, ";", ""},
      {"a;b", -32768, ";", ""},
      {"aaa", 1, "aa", "a"},  // overlapping: the next search starts after the first
      {"aaaa", 1, "aa", ""},
      {"name=x", 0, "NAME=", "name=x"},
      {"a\xFEz\xFE", 1, "\xFE", "z"},
      {"a\xFEz\xFE", 2, "\xFE", ""},
      {std::string("a\0b", 3), 1, std::string("\0", 1), "b"},
  };
  for (const FieldCase& c : cases) {
    std::string separator = c.separator;
    EXPECT_EQ(GetField(c.text, c.index, separator), c.field)
        << "text '" << c.text << "' index " << c.index << " separator '" << c.separator << "'";
    EXPECT_EQ(separator, c.separator) << "a given separator is never changed";
  }
}

TEST(GetFieldTest, NoCaseWorkedExamples) {
  const std::vector<FieldCase> cases = {
      {"Name=Ann", 1, "name=", "Ann"},
      {"MESSAGE=Hi+you&receivers=7", 1, "message=", "Hi+you&receivers=7"},
      {"message=x&receivers=A&Receivers=B", 1, "receivers=", "A&"},
      {"message=x&receivers=A&Receivers=B", 2, "receivers=", "B"},
      {"name=x", 1, "NAME=", "x"},
      {"aXbxc", 2, "x", "c"},
      {"AbC", 0, "b", "A"},
      // letters of Windows-1252 beyond ASCII fold too; the field keeps its own letters
      {"\xE4pfel\xC4Zitrone", 1, "\xE4", "pfel"},
      {"\xE4pfel\xC4Zitrone", 2, "\xC4", "Zitrone"},
      {"\xE4pfel\xC4Zitrone", 0, "\xC4", ""},
      {"x\xF7y\xD7z", 1, "\xD7", "z"},  // division and multiplication signs are no pair
  };
  for (const FieldCase& c : cases) {
    std::string separator = c.separator;
    EXPECT_EQ(GetFieldNoCase(c.text, c.index, separator), c.field)
        << "text '" << c.text << "' index " << c.index << " separator '" << c.separator << "'";
  }
}

struct DetectCase {
  std::string text;
  int16_t index;
  std::string field;
  std::string detected;
};

TEST(GetFieldTest, EmptySeparatorIsDetectedInTheCallersVariable) {
  const std::vector<DetectCase> cases = {
      {"a\tb;d", 1, "b;d", "\t"},
      {"a;b", 1, "b", ";"},
      {"abc", 0, "", ""},
      {"abc", 1, "", ""},
      {"", 0, "", ""},
      {"x;y\tz", 0, "x;y", "\t"},  // TAB wins wherever it stands
  };
  for (const DetectCase& c : cases) {
    for (auto* getField : {&GetField, &GetFieldNoCase}) {
      std::string separator;
      EXPECT_EQ(getField(c.text, c.index, separator), c.field) << c.text;
      EXPECT_EQ(separator, c.detected) << c.text;
    }
  }
}

TEST(GetFieldTest, DetectedSeparatorServesTheNextCall) {
  std::string separator;
  EXPECT_EQ(GetField("one;two;three", 0, separator), "one");
  EXPECT_EQ(GetField("a\tb;c", 0, separator), "a\tb") << "the second call keeps ';'";
  EXPECT_EQ(separator, ";");
}

// Texts at the edge of the 16-bit positions.
TEST(GetFieldTest, TextsUpTo32766CharactersNeverFail) {
  const std::string longest(32766, 'x');
  std::string separator = ";";
  EXPECT_EQ(GetField(longest, 0, separator), longest);
  EXPECT_EQ(GetFieldNoCase(longest, 0, separator), longest);
  EXPECT_EQ(GetField(longest, 1, separator), "");

  // A separator at the very end: the next field starts at 32 767 and is empty.
  const std::string endsWithSeparator = std::string(32765, 'x') + ";";
  EXPECT_EQ(GetField(endsWithSeparator, 1, separator), "");
  EXPECT_EQ(GetField(endsWithSeparator, 0, separator), std::string(32765, 'x'));

  // A separator of several characters ending the text.
  std::string two = "::";
  const std::string endsWithLong = std::string(32764, 'x') + "::";
  EXPECT_EQ(GetField(endsWithLong, 1, two), "");
}

TEST(GetFieldTest, PositionsPast32767Overflow) {
  std::string separator = ";";
  // The wanted field is the last one of a text of 32 767 characters.
  EXPECT_THROW(GetField(std::string(32767, 'x'), 0, separator), OverflowError);
  EXPECT_THROW(GetFieldNoCase(std::string(32767, 'x'), 0, separator), OverflowError);
  // A separator found past 32 767, even when field 0 is wanted.
  const std::string farSeparator = std::string(32767, 'x') + ";tail";
  EXPECT_THROW(GetField(farSeparator, 0, separator), OverflowError);
  EXPECT_THROW(GetField(farSeparator, -1, separator), OverflowError);
  // A separator at 32 767 itself: the next field would start at 32 768.
  const std::string separatorAt32767 = std::string(32766, 'x') + ";y";
  EXPECT_EQ(GetField(separatorAt32767, 0, separator), std::string(32766, 'x'));
  EXPECT_THROW(GetField(separatorAt32767, 1, separator), OverflowError);
  // A field that ends before 32 767 in a longer text is fine.
  const std::string early = "a;b;" + std::string(40000, 'x');
  EXPECT_EQ(GetField(early, 1, separator), "b");
}

}  // namespace
}  // namespace vel

namespace vel {
namespace {

// What GetField (or GetFieldNoCase) gives for one index: the field, or "overflow".
std::string OneByOne(const std::string& text, int16_t index, const std::string& separator,
                     bool ignoreCase) {
  std::string sep = separator;
  try {
    return ignoreCase ? GetFieldNoCase(text, index, sep) : GetField(text, index, sep);
  } catch (const OverflowError&) {
    return "overflow";
  }
}

// The walk from `first` must give, field for field, what the one-by-one calls give, and
// overflow at the same field.
void ExpectWalkMatches(const std::string& text, const std::string& separator, bool ignoreCase,
                       int16_t first, int count) {
  FieldWalk walk(text, separator, ignoreCase, first);
  for (int i = 0; i < count && first + i <= INT16_MAX; ++i) {
    const auto index = static_cast<int16_t>(first + i);
    const std::string expected = OneByOne(text, index, separator, ignoreCase);
    std::string got;
    try {
      got = walk.Next();
    } catch (const OverflowError&) {
      got = "overflow";
    }
    ASSERT_EQ(got, expected) << "index " << index << (ignoreCase ? " (no case)" : "");
    if (got == "overflow") return;  // a walk ends with its overflow
  }
}

TEST(FieldWalkTest, GivesEveryFieldAsTheOneByOneCalls) {
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"GET /a.htm HTTP/1.0", " "},
      {"a;;b;", ";"},
      {"", ";"},
      {"abc", ";"},
      {"x::y::z::", "::"},
      {"receivers=A&receivers=B&RECEIVERS=c&Receivers=&receivers=D", "receivers="},
      {"message=hi&\xE4=1&\xC4=2", "\xE4="},
      {"aaaa", "aa"},
  };
  for (const auto& [text, separator] : texts) {
    for (const bool ignoreCase : {false, true}) {
      for (const int16_t first : {int16_t{-1}, int16_t{0}, int16_t{1}, int16_t{3}, int16_t{9}}) {
        ExpectWalkMatches(text, separator, ignoreCase, first, 12);
      }
    }
  }
}

TEST(FieldWalkTest, OverflowsWhereTheOneByOneCallsDo) {
  // Separators on both sides of position 32 767, a long last field, and a text that is
  // one long field.
  std::string text;
  while (text.size() < 40000) text += "receivers=Name&";
  ExpectWalkMatches(text, "receivers=", true, 1, 4000);
  ExpectWalkMatches(text, "&", false, 2100, 300);
  std::string longLast = std::string(100, 'x') + ";" + std::string(33000, 'y');
  ExpectWalkMatches(longLast, ";", false, 0, 4);
  ExpectWalkMatches(std::string(32767, 'z'), ";", false, 0, 2);
  ExpectWalkMatches(std::string(32766, 'z'), ";", false, 0, 2);
}

TEST(FieldWalkTest, EndsAtTheLastIndexAndAfterTheLastField) {
  std::string text;
  for (int i = 0; i < 20; ++i) text += ";";
  FieldWalk nearTheEnd(text, ";", false, INT16_MAX - 1);
  EXPECT_EQ(nearTheEnd.Next(), "");
  EXPECT_EQ(nearTheEnd.Next(), "");
  const std::string twoFields = "a;b";
  FieldWalk fields(twoFields, ";", false);
  EXPECT_EQ(fields.Next(), "a");
  EXPECT_EQ(fields.Next(), "b");
  EXPECT_EQ(fields.Next(), "");
  EXPECT_EQ(fields.Next(), "");
}

}  // namespace
}  // namespace vel
