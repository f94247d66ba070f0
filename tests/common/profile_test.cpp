#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "files.h"
#include "vel_proc.h"

namespace vel {
namespace {

using veltest::TempDir;

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override { SetProgramDir(dir_.path()); }
  void TearDown() override { SetProgramDir("/nonexistent-velweb-dir/"); }
  std::string Read(const std::string& section, const std::string& key,
                   const std::string& fallback = "DEFAULT") {
    return ReadProfileString(section, key, fallback, "VELWEB.INI");
  }
  TempDir dir_;
};

TEST_F(ProfileTest, AbsentFileGivesTheDefault) {
  EXPECT_EQ(ReadProfileString("TCPIP", "HTTPPort", "80", "VELWEB.INI"), "80");
  EXPECT_EQ(ReadProfileString("General", "Language", "", "VELWEB.INI"), "");
}

TEST_F(ProfileTest, ReadsValuesAsTheCallersExpect) {
  dir_.Write("velweb.ini",  // found whatever the case of its name
             "; VelWeb settings\r\n"
             "Orphan=before any section\r\n"
             "[TCPIP]\r\n"
             "HTTPPort=8080\r\n"
             "\r\n"
             "[ general ]\r\n"
             "  Language  =   001   \r\n"
             "Empty=\r\n"
             "Blank=    \r\n"
             "Quoted=\"  spaced  \"\r\n"
             "Single='x'\r\n"
             "Half=\"open\r\n"
             "Twice=\"\"a\"\"\r\n"
             "Equals=a=b=c\r\n"
             ";Commented=yes\r\n"
             "  ; Indented=yes\r\n"
             "NoEquals\r\n"
             "Dup=first\r\n"
             "Dup=second\r\n"
             "[Other]\r\n"
             "Language=999\r\n"
             "[GENERAL]\r\n"
             "Dup=third\r\n"
             "Late=from the second General\r\n"
             "\xC4rger=\xE4\r\n");
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"TCPIP", "HTTPPort", "8080"},
      {"tcpip", "httpport", "8080"},
      {"General", "Language", "001"},
      {"General", "Empty", ""},  // present but empty: not the default
      {"General", "Blank", ""},
      {"General", "Quoted", "  spaced  "},
      {"General", "Single", "x"},
      {"General", "Half", "\"open"},
      {"General", "Twice", "\"a\""},  // one pair only
      {"General", "Equals", "a=b=c"},
      {"General", "Commented", "DEFAULT"},
      {"General", ";Commented", "DEFAULT"},
      {"General", "Indented", "DEFAULT"},
      {"General", "NoEquals", "DEFAULT"},
      {"General", "Dup", "first"},
      {"General", "Late", "from the second General"},
      {"general", "\xE4rger", "\xE4"},
      {"Other", "Language", "999"},
      {"Missing", "Language", "DEFAULT"},
      {"General", "Missing", "DEFAULT"},
      {"", "Orphan", "DEFAULT"},
  };
  for (const auto& [section, key, expected] : cases) {
    EXPECT_EQ(Read(section, key), expected) << section << "/" << key;
  }
}

TEST_F(ProfileTest, ReadsLineEndsOfEveryKind) {
  for (const std::string end : {"\n", "\r\n", "\r"}) {
    dir_.Write("VELWEB.INI", "[A]" + end + "k=1" + end + "[B]" + end + "k=2");
    EXPECT_EQ(Read("A", "k"), "1");
    EXPECT_EQ(Read("B", "k"), "2");
  }
}

TEST_F(ProfileTest, ValuesAndDefaultsAreCutTo2047Characters) {
  const std::string long3000(3000, 'v');
  dir_.Write("VELWEB.INI", "[S]\r\nK=" + long3000 + "\r\nExact=" + std::string(2047, 'e') + "\r\n");
  EXPECT_EQ(Read("S", "K"), std::string(2047, 'v'));
  EXPECT_EQ(Read("S", "Exact"), std::string(2047, 'e'));
  EXPECT_EQ(ReadProfileString("S", "Missing", long3000, "VELWEB.INI"), std::string(2047, 'v'));
}

TEST_F(ProfileTest, WriteCreatesFileSectionAndKey) {
  WriteProfileString("General", "Language", "044", "VELWEB.INI");
  EXPECT_EQ(dir_.Read("VELWEB.INI"), "[General]\r\nLanguage=044\r\n");
  // It may come to hold the password hash: nothing for other accounts.
  struct stat info {};
  ASSERT_EQ(stat((dir_.path() + "VELWEB.INI").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0007, 0u);
  WriteProfileString("TCPIP", "HTTPPort", "8080", "VELWEB.INI");
  EXPECT_EQ(dir_.Read("VELWEB.INI"), "[General]\r\nLanguage=044\r\n[TCPIP]\r\nHTTPPort=8080\r\n");
  WriteProfileString("General", "Other", "x", "VELWEB.INI");
  EXPECT_EQ(dir_.Read("VELWEB.INI"),
            "[General]\r\nLanguage=044\r\nOther=x\r\n[TCPIP]\r\nHTTPPort=8080\r\n");
  EXPECT_EQ(Read("General", "Language"), "044");
  EXPECT_EQ(Read("TCPIP", "HTTPPort"), "8080");
}

TEST_F(ProfileTest, WriteReplacesInPlaceAndKeepsEveryOtherLine) {
  const std::string before =
      "; shipped profile\r\n"
      "[TCPIP]\r\n"
      "HTTPPort = 80\r\n"
      "\r\n"
      "[General]\r\n"
      "; the language code\r\n"
      "LANGUAGE=001\r\n"
      "Language=shadowed\r\n"
      "\r\n"
      "[Other]\r\n"
      "Language=keep\r\n";
  dir_.Write("VELWEB.INI", before);
  WriteProfileString("general", "language", "049", "VELWEB.INI");
  WriteProfileString("general", "language", "044", "VELWEB.INI");  // twice: still one line
  WriteProfileString("TCPIP", "HTTPPort", "8080", "VELWEB.INI");
  EXPECT_EQ(dir_.Read("VELWEB.INI"),
            "; shipped profile\r\n"
            "[TCPIP]\r\n"
            "HTTPPort = 8080\r\n"
            "\r\n"
            "[General]\r\n"
            "; the language code\r\n"
            "LANGUAGE=044\r\n"
            "Language=shadowed\r\n"
            "\r\n"
            "[Other]\r\n"
            "Language=keep\r\n");
  EXPECT_EQ(Read("General", "Language"), "044");
  EXPECT_EQ(Read("TCPIP", "HTTPPort"), "8080");
}

TEST_F(ProfileTest, NewKeyGoesAfterTheSectionsLastFilledLine) {
  dir_.Write("VELWEB.INI", "[TCPIP]\nHTTPPort=80\n\n\n[Other]\nx=1");
  WriteProfileString("TCPIP", "Extra", "yes", "VELWEB.INI");
  WriteProfileString("Other", "y", "2", "VELWEB.INI");
  EXPECT_EQ(dir_.Read("VELWEB.INI"), "[TCPIP]\nHTTPPort=80\nExtra=yes\n\n\n[Other]\nx=1\ny=2\n");
}

TEST_F(ProfileTest, NewSectionAfterALastLineWithoutLineEnd) {
  dir_.Write("VELWEB.INI", "[TCPIP]\r\nHTTPPort=80");
  WriteProfileString("General", "Language", "001", "VELWEB.INI");
  EXPECT_EQ(dir_.Read("VELWEB.INI"), "[TCPIP]\r\nHTTPPort=80\r\n[General]\r\nLanguage=001\r\n");
}

TEST_F(ProfileTest, WritesInTheCaseOfTheExistingFile) {
  dir_.Write("velweb.ini", "[General]\r\nLanguage=001\r\n");
  WriteProfileString("General", "Language", "049", "VELWEB.INI");
  EXPECT_EQ(dir_.Read("velweb.ini"), "[General]\r\nLanguage=049\r\n");
  EXPECT_FALSE(dir_.Has("VELWEB.INI"));
}

TEST_F(ProfileTest, UnwritableProfileChangesNothing) {
  const std::string before = "[General]\r\nLanguage=001\r\n";
  dir_.Write("VELWEB.INI", before);
  const std::string path = dir_.path() + "VELWEB.INI";
  chmod(path.c_str(), 0444);
  EXPECT_EQ(WriteProfileString("General", "Language", "049", "VELWEB.INI"), EACCES);
  EXPECT_EQ(dir_.Read("VELWEB.INI"), before);
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0444u);

  SetProgramDir(dir_.path() + "missing/");
  EXPECT_EQ(WriteProfileString("General", "Language", "049", "VELWEB.INI"), ENOENT);
  EXPECT_FALSE(dir_.Has("missing"));
}

TEST_F(ProfileTest, AWritableProfileInAReadOnlyDirectoryIsRewrittenInPlace) {
  dir_.Write("VELWEB.INI", "[General]\r\nLanguage=001\r\n");
  chmod((dir_.path() + "VELWEB.INI").c_str(), 0666);
  chmod(dir_.path().c_str(), 0555);
  // Permissions bind an ordinary account only: as root, the write runs as nobody.
  const pid_t child = fork();
  if (child == 0) {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
    _exit(WriteProfileString("General", "Language", "049", "VELWEB.INI"));
  }
  int status = 0;
  waitpid(child, &status, 0);
  chmod(dir_.path().c_str(), 0700);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 126) GTEST_SKIP() << "cannot change account";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(dir_.Read("VELWEB.INI"), "[General]\r\nLanguage=049\r\n");
}

TEST_F(ProfileTest, WriteKeepsPermissionsOwnerAndLinks) {
  dir_.Write("real.ini", "[General]\r\nLanguage=001\r\n");
  const std::string real = dir_.path() + "real.ini";
  const std::string link = dir_.path() + "VELWEB.INI";
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  chmod(real.c_str(), 0640);
  // Only a privileged test run can hand the file to someone else.
  const bool canChown = chown(real.c_str(), 12345, 12346) == 0;

  WriteProfileString("General", "Language", "049", "VELWEB.INI");

  struct stat info {};
  ASSERT_EQ(lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode)) << "the link stays a link";
  ASSERT_EQ(stat(real.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  if (canChown) {
    EXPECT_EQ(info.st_uid, 12345u);
    EXPECT_EQ(info.st_gid, 12346u);
  }
  EXPECT_EQ(dir_.Read("real.ini"), "[General]\r\nLanguage=049\r\n");
}

TEST_F(ProfileTest, WritesThatWouldBreakTheFileAreRefused) {
  const std::string before = "[General]\r\nLanguage=001\r\n";
  dir_.Write("VELWEB.INI", before);
  WriteProfileString("General", "Language", "049\r\n[Evil]\r\nx=1", "VELWEB.INI");
  WriteProfileString("General", "Lang=uage", "049", "VELWEB.INI");
  WriteProfileString("Gen]eral", "Language", "049", "VELWEB.INI");
  WriteProfileString("General", "", "049", "VELWEB.INI");
  WriteProfileString("General", " ;Language", "049", "VELWEB.INI");
  WriteProfileString("General", "[Language", "049", "VELWEB.INI");
  WriteProfileString("General", "Language",
                     std::string("0\0"
                                 "49",
                                 4),
                     "VELWEB.INI");
  EXPECT_EQ(dir_.Read("VELWEB.INI"), before);
}

TEST_F(ProfileTest, WriteThenReadRoundTrips) {
  const std::vector<std::string> values = {"",    "001",          "a=b",
                                           "x y", "\xE4\xF6\xFC", std::string(2047, 'z')};
  for (const std::string& value : values) {
    WriteProfileString("General", "Value", value, "VELWEB.INI");
    EXPECT_EQ(Read("General", "Value"), value);
  }
}

}  // namespace
}  // namespace vel
