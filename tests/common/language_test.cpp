#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files.h"
#include "language_table.h"
#include "vel_proc.h"

namespace vel {
namespace {

using veltest::TempDir;

class LanguageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLanguage();
    SetProgramDir(dir_.path());
  }
  void TearDown() override {
    ResetLanguage();
    SetProgramDir("/nonexistent-velweb-dir/");
  }
  void Choose(const std::string& code) {
    dir_.Write("VELWEB.INI", "[General]\r\nLanguage=" + code + "\r\n");
  }
  TempDir dir_;
};

TEST_F(LanguageTest, BeforeAnyLoadEveryTextIsInvalid) {
  EXPECT_EQ(GetText(0), "Invalid Text (0)");
  EXPECT_EQ(GetText(-2147483647 - 1), "Invalid Text (-2147483648)");
}

TEST_F(LanguageTest, LoadsTextsByNumber) {
  Choose("001");
  dir_.Write("vel_lang.001",
             "0=Alpha\r\n"
             "12=one=two\r\n"
             "a line without equals\r\n"
             "\r\n"
             "13= spaced \r\n"
             "5=\r\n"
             "abc=no digits\r\n"
             "=starts with equals\r\n"
             " 1 0 =blanks in the number\r\n"
             "2.5=half\r\n"
             "3.5=half up\r\n"
             "-4=negative\r\n"
             "12=second twelve\r\n"
             "99999999999=too large\r\n"
             "124=last line without line end");
  ASSERT_TRUE(LoadLanguage());
  const std::vector<std::pair<int32_t, std::string>> cases = {
      {0, "Alpha"},
      {12, "one"},
      {13, " spaced "},
      {5, ""},  // empty text, not the invalid-text message
      {10, "blanks in the number"},
      {2, "half"},
      {4, "half up"},
      {-4, "negative"},
      {124, "last line without line end"},
      {14, "Invalid Text (14)"},
      {99999999, "Invalid Text (99999999)"},
  };
  for (const auto& [number, text] : cases) {
    EXPECT_EQ(GetText(number), text) << number;
  }
  // "abc=" and "=..." also load as number 0, after "Alpha".
  const LanguageTexts& table = LoadedLanguage();
  EXPECT_EQ(table.TextCount, 12);
  EXPECT_EQ(table.TextCapacity, 64);
  EXPECT_EQ(table.TextTable[0].TextNumber, 0);
  EXPECT_EQ(table.TextTable[0].TextStart, 1);
  EXPECT_EQ(table.TextTable[0].TextLength, 5);
  EXPECT_EQ(table.TextTable[1].TextStart, 6);
}

TEST_F(LanguageTest, LineEnds) {
  Choose("001");
  // CR LF and a CR alone end lines; a LF alone stays in its line.
  dir_.Write("vel_lang.001", "1=one\r2=two\r\n3=three\n4=four\r\n\r\n");
  ASSERT_TRUE(LoadLanguage());
  EXPECT_EQ(GetText(1), "one");
  EXPECT_EQ(GetText(2), "two");
  EXPECT_EQ(GetText(3), "three\n4");
  EXPECT_EQ(GetText(4), "Invalid Text (4)");
}

TEST_F(LanguageTest, TableGrowsBy64AndKeepsItsRows) {
  Choose("001");
  std::string content;
  for (int i = 1; i <= 200; ++i)
    content += std::to_string(i) + "=text " + std::to_string(i) + "\r\n";
  dir_.Write("vel_lang.001", content);
  ASSERT_TRUE(LoadLanguage());
  EXPECT_EQ(LoadedLanguage().TextCount, 200);
  EXPECT_EQ(LoadedLanguage().TextCapacity, 256);
  for (int i = 1; i <= 200; ++i) EXPECT_EQ(GetText(i), "text " + std::to_string(i));
}

TEST_F(LanguageTest, ProfileValueIsAppendedUnchanged) {
  dir_.Write("vel_lang.001", "0=Three digits\r\n");
  dir_.Write("VEL_LANG.049", "0=Upper case name\r\n");
  Choose("1");
  EXPECT_FALSE(LoadLanguage()) << "1 names vel_lang.1, not vel_lang.001";
  EXPECT_EQ(GetText(0), "Invalid Text (0)");
  Choose("049");
  ASSERT_TRUE(LoadLanguage()) << "names are found whatever their case";
  EXPECT_EQ(GetText(0), "Upper case name");
}

TEST_F(LanguageTest, NoLanguageChosenOrFileMissing) {
  EXPECT_FALSE(LoadLanguage());  // no profile
  Choose("");
  EXPECT_FALSE(LoadLanguage());
  Choose("002");
  EXPECT_FALSE(LoadLanguage());
  EXPECT_EQ(LoadedLanguage().TextCount, 0);
}

TEST_F(LanguageTest, CodesThatAreNoPlainNameAreRefused) {
  TempDir outside;
  outside.Write("vel_lang.x", "0=Outside\r\n");
  dir_.MakeDir("sub");
  dir_.Write("sub/vel_lang.x", "0=Sub\r\n");
  dir_.Write("vel_lang.abc", "0=Pattern target\r\n");
  for (const std::string& code :
       {"x/../../" + outside.path().substr(1) + "vel_lang.x", std::string("/../sub/vel_lang.x"),
        std::string("*"), std::string("a?c")}) {
    Choose(code);
    EXPECT_FALSE(LoadLanguage()) << code;
  }
  dir_.MakeDir("vel_lang.dir");
  Choose("dir");
  EXPECT_FALSE(LoadLanguage()) << "a directory is no language file";
}

TEST_F(LanguageTest, OverlongLinesAreSkipped) {
  Choose("001");
  // "=" beyond character 32 767: the line cannot be taken apart with 16-bit positions.
  dir_.Write("vel_lang.001", "1=" + std::string(40000, 'x') + "\r\n" + std::string(33000, '2') +
                                 "=far\r\n3=after\r\n");
  ASSERT_TRUE(LoadLanguage());
  EXPECT_EQ(GetText(1), "Invalid Text (1)");
  EXPECT_EQ(GetText(3), "after");
}

TEST_F(LanguageTest, ALaterLoadReplacesTheTable) {
  Choose("001");
  dir_.Write("vel_lang.001", "1=first\r\n");
  ASSERT_TRUE(LoadLanguage());
  dir_.Write("vel_lang.001", "2=second\r\n");
  ASSERT_TRUE(LoadLanguage());
  EXPECT_EQ(GetText(1), "Invalid Text (1)");
  EXPECT_EQ(GetText(2), "second");
  ResetLanguage();
  EXPECT_EQ(GetText(2), "Invalid Text (2)");
}

}  // namespace
}  // namespace vel
