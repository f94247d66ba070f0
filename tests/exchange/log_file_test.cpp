// The log-file copy of system-log entries, on real files.
#include "log_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "test_dir.h"

namespace velmar {
namespace {

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

TEST(LogFileTest, LinesEndWithCrLfAndAreNotShortened) {
  TestDir dir;
  const std::string log = dir.File("20010305.LOG");
  const std::string longLine(300, 'L');
  AppendToLogFile(log.c_str(), "01-03-05 14:30:00 WEB Velmar Web Server Started");
  AppendToLogFile(log.c_str(), longLine.c_str());
  AppendToLogFile(log.c_str(), "two\nlines");
  AppendToLogFile(log.c_str(), "");
  EXPECT_EQ(ReadWholeFile(log), "01-03-05 14:30:00 WEB Velmar Web Server Started\r\n" + longLine +
                                    "\r\ntwo\r\nlines\r\n\r\n");
}

TEST(LogFileTest, SeparatorBlock) {
  TestDir dir;
  const std::string log = dir.File("sep.log");
  AppendToLogFile(log.c_str(), "a");
  AppendToLogFile(log.c_str(), "-");
  AppendToLogFile(log.c_str(), "--");
  EXPECT_EQ(ReadWholeFile(log), "a\r\n\r\n" + std::string(68, '-') + "\r\n\r\n--\r\n");
}

TEST(LogFileTest, FileIsWritableOnlyWhileAppending) {
  TestDir dir;
  const std::string log = dir.File("ro.log");
  AppendToLogFile(log.c_str(), "first");
  EXPECT_EQ(ModeOf(log) & 0222, 0u) << std::oct << ModeOf(log);
  chmod(log.c_str(), 0664);
  AppendToLogFile(log.c_str(), "second");
  EXPECT_EQ(ModeOf(log), 0444u);  // every write bit goes, read bits stay
  EXPECT_EQ(ReadWholeFile(log), "first\r\nsecond\r\n");
}

TEST(LogFileTest, FileThatCannotBeOpenedGetsNothingAndNothingBreaks) {
  TestDir dir;
  AppendToLogFile(dir.File("missing/dir/x.log").c_str(), "entry");
  AppendToLogFile(dir.path().c_str(), "entry");  // a directory
  AppendToLogFile("", "entry");
  EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
}

TEST(LogFileTest, DevicesKeepTheirPermissions) {
  const mode_t before = ModeOf("/dev/null");
  AppendToLogFile("/dev/null", "entry");
  EXPECT_EQ(ModeOf("/dev/null"), before);
}

}  // namespace
}  // namespace velmar
