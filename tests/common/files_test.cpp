#include "files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "file_io.h"
#include "vel_proc.h"

namespace vel {
namespace {

using veltest::TempDir;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write("INDEX.HTM", "<html>");
    dir_.Write("send.htm", "<html>");
    dir_.Write("logo.gif", "GIF89a");
    dir_.Write("vel_lang.001", "0=English\r\n");
    dir_.Write("vel_lang.1", "0=One\r\n");
    dir_.Write("vel_lang.0444", "0=Four\r\n");
    dir_.Write(".hidden.htm", "secret");
    dir_.MakeDir("SUB");
    dir_.MakeDir("dir.htm");
    symlink((dir_.path() + "logo.gif").c_str(), (dir_.path() + "link.gif").c_str());
    symlink((dir_.path() + "missing").c_str(), (dir_.path() + "dangling.gif").c_str());
  }
  TempDir dir_;
};

TEST_F(FilesTest, FileExistsMatchesNamesAndPatterns) {
  const std::string d = dir_.path();
  const std::vector<std::pair<std::string, bool>> cases = {
      {d + "INDEX.HTM", true},
      {d + "index.htm", true},  // case does not matter
      {d + "SEND.HTM", true},
      {d + "*.HTM", true},
      {d + "*.htm", true},
      {d + "S*", true},
      {d + "?NDEX.HTM", true},
      {d + "INDEX.HT?", true},
      {d + "INDEX.HTM?", true},  // a "?" at the end may match nothing
      {d + "IND?X.HTM", true},
      {d + "I?DEX.HT", false},
      {d + "*", true},
      {d + "*.TXT", false},
      {d + "NOTES.TXT", false},
      {d + "SUB", false},  // a directory is no file
      {d + "S?B", false},
      {d + "DIR.HTM", false},
      {d + ".hidden.htm", false},  // dot-files are hidden
      {d + "*hidden*", false},
      {d + "link.gif", true},  // a link counts by what it points to
      {d + "dangling.gif", false},
      {d + "missing-dir/INDEX.HTM", false},
      {d + "SUB/", false},
      {d, false},
      {"", false},
      {d + std::string("INDEX.HTM\0x", 11), false},
      {d + "*/INDEX.HTM", false},  // patterns only in the last component
  };
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(FileExists(path), expected) << path;
  }
}

TEST_F(FilesTest, FindFilesListsSortedNames) {
  const std::string d = dir_.path();
  EXPECT_EQ(FindFiles(d + "VEL_LANG.???"),
            (std::vector<std::string>{"vel_lang.001", "vel_lang.1"}));
  EXPECT_EQ(FindFiles(d + "*.HTM"), (std::vector<std::string>{"INDEX.HTM", "send.htm"}));
  EXPECT_EQ(FindFiles(d + "*.gif"), (std::vector<std::string>{"link.gif", "logo.gif"}));
  EXPECT_TRUE(FindFiles(d + "nothing*").empty());
  EXPECT_TRUE(FindFiles(d + "no-such-dir/*").empty());
}

TEST(ResolveInDirTest, FindsNamesWhateverTheirCase) {
  TempDir dir;
  dir.Write("Velweb.ini", "");
  dir.Write("vel_rcv.dat", "");
  dir.Write("B.txt", "");
  dir.Write("b.TXT", "");
  const std::string d = dir.path();
  EXPECT_EQ(ResolveInDir(d, "VELWEB.INI"), d + "Velweb.ini");
  EXPECT_EQ(ResolveInDir(d, "VEL_RCV.DAT"), d + "vel_rcv.dat");
  EXPECT_EQ(ResolveInDir(d, "vel_rcv.dat"), d + "vel_rcv.dat");
  EXPECT_EQ(ResolveInDir(d, "NEW.LOG"), d + "NEW.LOG");  // missing: as spelt
  EXPECT_EQ(ResolveInDir(d, "b.txt"), d + "B.txt");      // several: the first in byte order
  EXPECT_EQ(ResolveInDir(d, "b.TXT"), d + "b.TXT");      // an exact one wins
  EXPECT_EQ(ResolveInDir(d, "x/VELWEB.INI"), d + "x/VELWEB.INI");
  EXPECT_EQ(ResolveInDir(d + "missing/", "A"), d + "missing/A");

  SetProgramDir(d.substr(0, d.size() - 1));
  EXPECT_EQ(ProgramDir(), d);
  EXPECT_EQ(ProgramFile("velweb.INI"), d + "Velweb.ini");
  SetProgramDir(d);
  EXPECT_EQ(ProgramDir(), d);
  SetProgramDir("");
  EXPECT_EQ(ProgramDir(), "./");
}

TEST(ResolveInDirTest, ExecutableDirIsTheTestsOwnDirectory) {
  const std::string dir = ExecutableDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_EQ(dir.front(), '/');
  struct stat info {};
  EXPECT_EQ(stat((dir + "vel_proc_tests").c_str(), &info), 0) << dir;
}

TEST(CopyMissingFilesTest, RestoresOnlyMissingWorkingCopies) {
  TempDir dir;
  const std::string d = dir.path();
  dir.Write("A.OCV", "shipped a");
  dir.Write("B.OCV", "shipped b");
  dir.Write("B.RCV", "working b");
  dir.Write("c.ocv", "shipped c");  // found whatever its case
  dir.Write("c.rcv", "working c");  // and so is its working copy
  dir.Write("X.Y.OCV", "two dots");
  dir.Write(".H.OCV", "hidden");
  dir.MakeDir("D.OCV");

  CopyMissingFiles(d, "OCV", "RCV");

  EXPECT_EQ(dir.Read("A.RCV"), "shipped a");
  EXPECT_EQ(dir.Read("B.RCV"), "working b");
  EXPECT_EQ(dir.Read("c.rcv"), "working c");
  EXPECT_FALSE(dir.Has("c.RCV"));
  // X.Y.OCV names the base "X.": X.OCV is missing, so nothing is made.
  EXPECT_FALSE(dir.Has("X.RCV"));
  EXPECT_FALSE(dir.Has(".H.RCV"));
  EXPECT_FALSE(dir.Has("D.RCV"));
  EXPECT_EQ(dir.Read("A.OCV"), "shipped a");

  // Only the copy made: no temporary file stays behind.
  std::vector<std::string> all;
  for (const auto& entry : std::filesystem::directory_iterator(d)) {
    all.push_back(entry.path().filename().string());
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, (std::vector<std::string>{".H.OCV", "A.OCV", "A.RCV", "B.OCV", "B.RCV", "D.OCV",
                                           "X.Y.OCV", "c.ocv", "c.rcv"}));
}

TEST(CopyMissingFilesTest, NewWorkingCopyIsWritableEvenFromAReadOnlyShippedCopy) {
  TempDir dir;
  dir.Write("VELWEB.ONI", "[TCPIP]\r\nHTTPPort=80\r\n");
  chmod((dir.path() + "VELWEB.ONI").c_str(), 0444);
  CopyMissingFiles(dir.path(), "ONI", "INI");
  EXPECT_EQ(dir.Read("VELWEB.INI"), "[TCPIP]\r\nHTTPPort=80\r\n");
  struct stat info {};
  ASSERT_EQ(stat((dir.path() + "VELWEB.INI").c_str(), &info), 0);
  EXPECT_NE(info.st_mode & S_IWUSR, 0u);
  EXPECT_EQ(info.st_mode & 0007, 0u) << "a profile is not for every account";
}

TEST(CopyMissingFilesTest, WorkingCopyThatCannotBeOpenedIsReplaced) {
  TempDir dir;
  dir.Write("R.OCV", "shipped");
  // A link to nowhere: the name is taken but cannot be opened.
  symlink((dir.path() + "nowhere").c_str(), (dir.path() + "R.RCV").c_str());
  CopyMissingFiles(dir.path(), "OCV", "RCV");
  EXPECT_EQ(dir.Read("R.RCV"), "shipped");
}

TEST(CopyMissingFilesTest, ErrorsAreIgnored) {
  CopyMissingFiles("/no/such/dir/", "OCV", "RCV");
  TempDir dir;
  CopyMissingFiles(dir.path(), "OCV", "RCV");  // nothing to copy
  EXPECT_TRUE(FindFiles(dir.path() + "*").empty());
}

TEST(ReadWholeFileTest, ALimitRefusesLongerFilesAndKeepsTheWholeOfOthers) {
  TempDir dir;
  const std::string big(70000, 'x');  // more than one read
  dir.Write("big.gif", big);
  dir.Write("empty.gif", "");
  dir.MakeDir("dir.gif");
  EXPECT_EQ(ReadWholeFile(dir.path() + "big.gif", big.size()), big);
  EXPECT_EQ(ReadWholeFile(dir.path() + "big.gif", big.size() - 1), std::nullopt);
  EXPECT_EQ(ReadWholeFile(dir.path() + "empty.gif", 0), "");
  EXPECT_EQ(ReadWholeFile(dir.path() + "dir.gif", 100), std::nullopt);
  EXPECT_EQ(ReadWholeFile(dir.path() + "missing.gif", 100), std::nullopt);
}

}  // namespace
}  // namespace vel
