// The log-file copy of system-log entries, on real files.
#include "log_file.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "files.h"

namespace velmar {
namespace {

using veltest::ModeOf;

// Lines end with CR LF and are not shortened; "-" alone stands for a separator block.
TEST(LogFileTest, LinesEndWithCrLfAndADashIsASeparatorBlock) {
  veltest::TempDir dir;
  const std::string log = dir.File("20010305.LOG");
  const std::string longLine(300, 'L');
  EXPECT_EQ(AppendToLogFile(log.c_str(), "01-03-05 14:30:00 WEB Velmar Web Server Started"), 0);
  EXPECT_EQ(AppendToLogFile(log.c_str(), longLine.c_str()), 0);
  for (const char* entry : {"two\nlines", "", "-", "--"}) AppendToLogFile(log.c_str(), entry);
  EXPECT_EQ(veltest::ReadFile(log), "01-03-05 14:30:00 WEB Velmar Web Server Started\r\n" +
                                        longLine + "\r\ntwo\r\nlines\r\n\r\n\r\n" +
                                        std::string(68, '-') + "\r\n\r\n--\r\n");
}

TEST(LogFileTest, FileIsWritableOnlyWhileAppending) {
  veltest::TempDir dir;
  const std::string log = dir.File("ro.log");
  AppendToLogFile(log.c_str(), "first");
  EXPECT_EQ(ModeOf(log) & 0222, 0u) << std::oct << ModeOf(log);
  chmod(log.c_str(), 0664);
  AppendToLogFile(log.c_str(), "second");
  EXPECT_EQ(ModeOf(log), 0444u);  // every write bit goes, read bits stay
  EXPECT_EQ(veltest::ReadFile(log), "first\r\nsecond\r\n");
}

TEST(LogFileTest, OrdinaryAccountAppendsToItsReadOnlyFile) {
  // Root is let in whatever the mode; an ordinary account is refused until the write bit
  // is back. As root the appends run in a child that has become nobody.
  veltest::TempDir dir;
  const std::string log = dir.File("ro.log");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0) {
      const passwd* nobody = getpwnam("nobody");
      if (nobody == nullptr || chown(dir.path().c_str(), nobody->pw_uid, nobody->pw_gid) != 0 ||
          setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
        _exit(3);
    }
    const int first = AppendToLogFile(log.c_str(), "first");
    const int second = AppendToLogFile(log.c_str(), "second");
    _exit(first == 0 && second == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "this machine does not let root become nobody";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(veltest::ReadFile(log), "first\r\nsecond\r\n");
  EXPECT_EQ(ModeOf(log) & 0222, 0u) << std::oct << ModeOf(log);
}

TEST(LogFileTest, FileThatCannotBeOpenedGetsNothingAndNothingBreaks) {
  veltest::TempDir dir;
  EXPECT_EQ(AppendToLogFile(dir.File("missing/dir/x.log").c_str(), "entry"), ENOENT);
  EXPECT_EQ(AppendToLogFile(dir.path().c_str(), "entry"), EISDIR);  // a directory
  EXPECT_EQ(AppendToLogFile("", "entry"), ENOENT);
  EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
}

}  // namespace
}  // namespace velmar
