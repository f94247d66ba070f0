// The exports across real processes: each peer is a program that links libVelmar.so and
// so joins the region of its VELMAR_INSTANCE when it starts.
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "peer_hex.h"
#include "peer_process.h"

namespace {

using std::chrono::milliseconds;

// Waits (bounded) until the process has stopped itself.
bool Stopped(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  for (int i = 0; i < 1000; ++i) {
    const std::string stat = veltest::ReadFile(path);
    const std::size_t end = stat.rfind(')');
    if (end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'T') return true;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return false;
}

// Whole lines "line WHO N " and 150 letters, as the peer's logmany and logfill write
// them, each writer's numbered from 0 without a gap; counts them per writer.
::testing::AssertionResult WholeLines(const std::string& content,
                                      std::map<std::string, int>& counts) {
  if (!content.empty() && content.back() != '\n')
    return ::testing::AssertionFailure() << "the last line is cut";
  std::istringstream in(content);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string word, who, letters;
    int n = -1;
    words >> word >> who >> n >> letters;
    if (line.empty() || line.back() != '\r' || word != "line" || n != counts[who] ||
        letters != std::string(150, static_cast<char>('a' + n % 26)))
      return ::testing::AssertionFailure()
             << "broken line after " << counts[who] << " of " << who << ": " << line;
    ++counts[who];
  }
  return ::testing::AssertionSuccess();
}

// The process that takes the region lock of `instance` and stops itself holding it.
std::unique_ptr<PeerProcess> StartLockHolder(const std::string& instance) {
  auto holder =
      std::make_unique<PeerProcess>(VELMAR_LOCK_HOLDER, std::vector<std::string>{},
                                    std::vector<std::string>{"VELMAR_INSTANCE=" + instance});
  EXPECT_EQ(holder->ReadLine(), "locking");
  EXPECT_EQ(holder->ReadLine(), "locked");
  EXPECT_TRUE(Stopped(holder->pid())) << "the holder did not stop";
  return holder;
}

class MultiProcessTest : public ::testing::Test {
 protected:
  std::unique_ptr<PeerProcess> Start(const std::vector<std::string>& extraEnv = {}) {
    std::vector<std::string> env = {"VELMAR_INSTANCE=" + instance_};
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    auto peer = std::make_unique<PeerProcess>(VELMAR_PEER, std::vector<std::string>{}, env);
    // Joining happens before main: once it answers, it has joined.
    EXPECT_EQ(peer->Ask("echo ready"), "ready");
    return peer;
  }

  bool RegionObjectsExist() const {
    struct stat info;
    return stat(("/dev/shm/VelShareView." + instance_).c_str(), &info) == 0 ||
           stat(("/dev/shm/VelStructMutEx." + instance_).c_str(), &info) == 0;
  }

  const std::string instance_ = UniqueInstance("mp");
};

TEST_F(MultiProcessTest, SecondProcessSeesTheFirstOnesEntriesAndTheCountFollows) {
  auto a = Start();
  EXPECT_EQ(a->Ask("zeros"), "0 1");  // the first process finds a zero-filled region
  EXPECT_EQ(a->Ask("setcmd " + Hex("FT:GROUP1\xFEJOHN\xFE"
                                   "Fire in hall 3")),
            "1");
  EXPECT_EQ(a->Ask("setlog none " + Hex("hello log")), "1");
  EXPECT_EQ(a->Ask("settree 1 2 " + Hex("node") + " 3 4"), "1");
  EXPECT_EQ(a->Ask("setinfo " + Hex("info text")), "1");
  EXPECT_EQ(a->Ask("setapps 5 1"), "ok");

  auto b = Start();
  EXPECT_EQ(b->Ask("processes"), "2");
  EXPECT_EQ(a->Ask("processes"), "2");
  EXPECT_EQ(b->Ask("getcmd"), "29 " + Hex("FT:GROUP1\xFEJOHN\xFE"
                                          "Fire in hall 3"));
  EXPECT_EQ(a->Ask("getcmd"), "0 -");  // taken by b
  EXPECT_EQ(b->Ask("getlog 1 256"), "9 " + Hex("hello log"));
  EXPECT_EQ(b->Ask("gettree 0 256"), "4 " + Hex("node") + " 1 2 3 4");
  EXPECT_EQ(b->Ask("getinfo 256"), "9 " + Hex("info text") + " written");
  EXPECT_EQ(b->Ask("apps 4"), "1");
  EXPECT_EQ(b->Ask("apps 2"), "0");

  a->Send("exit");
  EXPECT_EQ(a->Wait(), 0);
  EXPECT_EQ(b->Ask("processes"), "1");
  // The shared read position: a rewind by one reader rewinds for all.
  EXPECT_EQ(b->Ask("getlog 0 256"), "0 none");
}

// The last process gone, by leaving (the region goes with it) or killed (nobody was left
// to remove it): the next one finds the region zero-filled and counts from one again.
TEST_F(MultiProcessTest, RegionComesBackZeroFilledOnceTheLastProcessLeftOrWasKilled) {
  for (const bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "killed" : "left");
    {
      auto a = Start();
      auto b = Start();
      EXPECT_EQ(a->Ask("setcmd " + Hex("left behind")), "1");
      EXPECT_EQ(b->Ask("setinfo " + Hex("stale")), "1");
      EXPECT_EQ(b->Ask("setapps 2147483648 1"), "ok");
      for (PeerProcess* p : {a.get(), b.get()}) killed ? p->Kill(SIGKILL) : p->Send("exit");
      EXPECT_EQ(a->Wait(), killed ? 128 + SIGKILL : 0);
      EXPECT_EQ(b->Wait(), killed ? 128 + SIGKILL : 0);
    }
    EXPECT_EQ(RegionObjectsExist(), killed);
    auto c = Start();
    EXPECT_EQ(c->Ask("zeros"), "0 1");
    EXPECT_EQ(c->Ask("processes"), "1");
    auto d = Start();
    EXPECT_EQ(d->Ask("processes"), "2");
    for (PeerProcess* p : {c.get(), d.get()}) p->Send("exit");
    EXPECT_EQ(c->Wait() + d->Wait(), 0);
  }
}

// The count of processes keeps a killed one; whether the region goes with a leaver does
// not: the last one attached is told so, and what it leaves in the region is still there
// for it to take out.
TEST_F(MultiProcessTest, KilledPeerCountsNoMoreForTheLastAttached) {
  auto a = Start();
  auto b = Start();
  EXPECT_EQ(a->Ask("last"), "0");
  EXPECT_EQ(a->Ask("setcmd " + Hex("one")), "1");
  EXPECT_EQ(a->Ask("setcmd " + Hex("two")), "1");
  b->Kill(SIGKILL);
  EXPECT_EQ(b->Wait(), 128 + SIGKILL);
  EXPECT_EQ(a->Ask("processes"), "2");
  EXPECT_EQ(a->Ask("last"), "1");
  EXPECT_EQ(a->Ask("last"), "1");  // asking keeps the hold
  auto c = Start();
  EXPECT_EQ(c->Ask("count"), "2");  // c joined a's region, not a new one
  EXPECT_EQ(a->Ask("last"), "0");
  EXPECT_EQ(c->Ask("last"), "0");
  c->Send("exit");
  EXPECT_EQ(c->Wait(), 0);
  EXPECT_EQ(a->Ask("last"), "1");
  EXPECT_EQ(a->Ask("getcmd"), "3 " + Hex("one"));
}

TEST_F(MultiProcessTest, ProcessKilledWhileHoldingTheLockDoesNotBlockTheOthers) {
  auto waiter = Start();
  auto holder = StartLockHolder(instance_);
  waiter->Send("setdebug " + Hex("waited"));
  EXPECT_FALSE(waiter->ReadLine(500).has_value()) << "the lock was not held";

  holder->Kill(SIGKILL);
  EXPECT_EQ(holder->Wait(), 128 + SIGKILL);
  EXPECT_EQ(waiter->ReadLine(1000), "1");  // taken over, not given up
  EXPECT_EQ(waiter->Ask("getdebug 1 256"), "6 " + Hex("waited"));
  auto late = Start();
  EXPECT_EQ(late->Ask("setcmd " + Hex("x")), "1");
  EXPECT_EQ(waiter->Ask("getcmd"), "1 " + Hex("x"));

  // A lock whose holder died while nobody waited is taken over by the next call.
  auto second = StartLockHolder(instance_);
  second->Kill(SIGKILL);
  EXPECT_EQ(second->Wait(), 128 + SIGKILL);
  EXPECT_EQ(late->Ask("setcmd " + Hex("y")), "1");
  EXPECT_EQ(waiter->Ask("getcmd"), "1 " + Hex("y"));
}

TEST_F(MultiProcessTest, ProcessStoppedWhileHoldingTheLockCostsEachCallTwoSecondsAtMost) {
  veltest::TempDir dir;
  const std::string log = dir.File("20010305.LOG");
  auto waiter = Start();
  ASSERT_EQ(waiter->Ask("setcmd " + Hex("queued")), "1");
  auto holder = StartLockHolder(instance_);

  // Each call gives the result of a region that could not be joined.
  const std::pair<std::string, std::string> calls[] = {
      {"setcmd " + Hex("x"), "0"},
      {"getcmd", "0 -"},
      {"count", "-1"},
      {"setlog " + log + " " + Hex("written anyway"), "0"},
  };
  for (const auto& [request, refused] : calls) {
    waiter->Send(request);
    EXPECT_EQ(waiter->ReadLine(2500), refused) << request;
  }
  // The log file does not need the lock.
  EXPECT_EQ(veltest::ReadFile(log), "written anyway\r\n");
  EXPECT_EQ(waiter->Ask("logerror"), "0");

  holder->Kill(SIGCONT);
  EXPECT_EQ(holder->Wait(), 0);
  EXPECT_EQ(waiter->Ask("getcmd"), "6 " + Hex("queued"));
  EXPECT_EQ(waiter->Ask("setcmd " + Hex("y")), "1");
  EXPECT_EQ(waiter->Ask("getcmd"), "1 " + Hex("y"));
  EXPECT_EQ(waiter->Ask("getlog 1 256"), "0 none");  // the refused entry was not queued
  EXPECT_EQ(waiter->Ask("processes"), "1");          // the holder left
}

TEST_F(MultiProcessTest, ConcurrentProducersAndConsumersLoseAndDuplicateNothing) {
  constexpr int kProducers = 3;
  constexpr int kEach = 400;
  std::vector<std::unique_ptr<PeerProcess>> consumers, producers;
  for (int i = 0; i < 2; ++i) {
    consumers.push_back(Start());
    consumers.back()->Send("consume");
  }
  for (int i = 0; i < kProducers; ++i) {
    producers.push_back(Start());
    producers.back()->Send("produce " + std::to_string(i) + " " + std::to_string(kEach));
  }
  for (auto& p : producers) EXPECT_EQ(p->ReadLine(60000), "done");
  std::multiset<std::string> all;
  for (auto& c : consumers) {
    c->CloseInput();
    std::map<std::string, int> last;
    for (;;) {
      const auto line = c->ReadLine(30000);
      ASSERT_TRUE(line.has_value());
      if (*line == "end") break;
      const std::string entry = line->substr(2);
      all.insert(entry);
      const std::string producer = entry.substr(0, entry.find('-'));
      const int n = std::stoi(entry.substr(entry.find('-') + 1));
      if (last.count(producer)) {
        EXPECT_LT(last[producer], n) << "order broken at " << entry;
      }
      last[producer] = n;
    }
  }
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kProducers * kEach));
  for (int p = 0; p < kProducers; ++p)
    for (int n = 0; n < kEach; ++n)
      ASSERT_EQ(all.count("P" + std::to_string(p) + "-" + std::to_string(n)), 1u) << p << " " << n;
}

TEST_F(MultiProcessTest, LockExcludesThreadsOfOneProcess) {
  auto a = Start();
  EXPECT_EQ(a->Ask("threads 4 2000", 60000), "ok");
}

TEST_F(MultiProcessTest, LogLinesOfDifferentProcessesNeverInterleave) {
  veltest::TempDir dir;
  const std::string log = dir.File("shared.LOG");
  constexpr int kLines = 300;
  auto a = Start();
  auto b = Start();
  a->Send("logmany " + log + " A " + std::to_string(kLines));
  b->Send("logmany " + log + " B " + std::to_string(kLines));
  EXPECT_EQ(a->ReadLine(60000), "done");
  EXPECT_EQ(b->ReadLine(60000), "done");
  std::map<std::string, int> counts;
  ASSERT_TRUE(WholeLines(veltest::ReadFile(log), counts));
  EXPECT_EQ(counts["A"], kLines);
  EXPECT_EQ(counts["B"], kLines);
  // The queue kept the first 119 bytes of the last 200 lines.
  const std::string first = a->Ask("getlog 1 256");
  EXPECT_EQ(first.substr(0, 4), "119 ");
}

TEST_F(MultiProcessTest, RunningAppChangesOfTwoProcessesAreNeverLost) {
  auto a = Start();
  auto b = Start();
  a->Send("toggle 3 20000");
  b->Send("toggle 30 20000");
  EXPECT_EQ(a->ReadLine(60000), "ok");
  EXPECT_EQ(b->ReadLine(60000), "ok");
  EXPECT_EQ(a->Ask("apps 8"), "1");
  EXPECT_EQ(a->Ask("apps 1073741824"), "1");
  EXPECT_EQ(a->Ask("processes"), "2");  // the counter shares the word and kept its value
}

TEST_F(MultiProcessTest, SingleProcessExportRules) {
  veltest::TempDir dir;
  { std::ofstream(dir.File("lp0")); }
  auto a = Start({"VELMAR_PRINTER_DIR=" + dir.path()});
  EXPECT_EQ(a->Ask("processes"), "1");
  EXPECT_EQ(a->Ask("setinfo " + Hex("0123456789")), "1");
  EXPECT_EQ(a->Ask("getinfo 0"), "0 - untouched");
  // Only the low 16 bits of a size count: 65536 is 0, 65537 is 1.
  EXPECT_EQ(a->Ask("getinfo 65536"), "0 - untouched");
  EXPECT_EQ(a->Ask("getinfo 65547"), "10 " + Hex("0123456789") + " written");
  EXPECT_EQ(a->Ask("print " + Hex("a\nb") + " 0"), "1");
  EXPECT_EQ(a->Ask("print " + Hex("x") + " 1"), "0");      // no such device
  EXPECT_EQ(a->Ask("print " + Hex("x") + " 65536"), "1");  // low 16 bits: port 0
  EXPECT_EQ(veltest::ReadFile(dir.File("lp0")), "a\r\nbx");
  EXPECT_EQ(a->Ask("apps 0"), "0");
  // Null pointers are refused, never followed; a zero-size buffer is never written.
  EXPECT_EQ(a->Ask("nulls"), "00000000000 abc 7");
}

TEST_F(MultiProcessTest, SysLogEntryGoesToQueueAndFile) {
  veltest::TempDir dir;
  const std::string log = dir.File("20010305.LOG");
  auto a = Start();
  const std::string longEntry(120, 'z');
  EXPECT_EQ(a->Ask("setlog " + log + " " + Hex(longEntry)), "1");
  EXPECT_EQ(a->Ask("setlog " + log + " " + Hex("-")), "1");
  EXPECT_EQ(a->Ask("setlog " + dir.File("no/such/dir.LOG") + " " + Hex("still queued")), "1");
  EXPECT_EQ(a->Ask("getlog 1 256"), "119 " + Hex(std::string(119, 'z')));
  EXPECT_EQ(a->Ask("getlog 0 256"), "12 " + Hex("still queued"));  // "-" queued nothing
  EXPECT_EQ(veltest::ReadFile(log), longEntry + "\r\n\r\n" + std::string(68, '-') + "\r\n\r\n");
  // The lines carry the messages' texts: for the owner and the group only, and read-only.
  struct stat info {};
  ASSERT_EQ(stat(log.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0440u);
}

TEST_F(MultiProcessTest, LogFileThatWouldBlockOrLeadElsewhereGetsNothingAtOnce) {
  veltest::TempDir dir;
  const std::string fifo = dir.File("fifo.LOG");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string target = dir.File("passwd");
  { std::ofstream(target) << "untouched"; }
  chmod(target.c_str(), 0644);
  const std::string link = dir.File("link.LOG");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  const mode_t devNull = veltest::ModeOf("/dev/null");
  auto a = Start();
  const std::pair<std::string, int> cases[] = {
      {fifo, ENXIO},          // a FIFO without a reader would block the open
      {link, ELOOP},          // never followed
      {"/dev/null", EINVAL},  // neither a regular file nor a FIFO: not even opened
  };
  for (const auto& [file, error] : cases) {
    a->Send("setlog " + file + " " + Hex("entry"));
    EXPECT_EQ(a->ReadLine(1000), "1") << file;
    EXPECT_EQ(a->Ask("logerror"), std::to_string(error)) << file;
  }
  EXPECT_EQ(veltest::ReadFile(target), "untouched");
  EXPECT_EQ(veltest::ModeOf(target), 0644u);
  EXPECT_EQ(veltest::ModeOf("/dev/null"), devNull);
  EXPECT_EQ(a->Ask("getlog 1 256"), "5 " + Hex("entry"));  // the queue got them all
}

// A small file system of the test's own, mounted for the test's lifetime.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& path, const char* options) : path_(path) {
    std::filesystem::create_directory(path_);
    mounted_ = mount("velmar-test", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options) == 0;
    if (!mounted_) error_ = std::strerror(errno);
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }

 private:
  std::string path_;
  bool mounted_ = false;
  std::string error_;
};

TEST_F(MultiProcessTest, FullFileSystemLosesWholeLogLinesOnly) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system for the test needs root";
  veltest::TempDir dir;
  const SmallFileSystem small(dir.File("small"), "size=64k");
  if (!small.mounted())
    GTEST_SKIP() << "this machine does not let the test mount a tmpfs: " << small.error();
  const std::string filler = dir.File("small/filler");
  { std::ofstream(filler) << std::string(16 * 1024, 'f'); }
  const std::string log = dir.File("small/20010305.LOG");
  auto a = Start();

  std::istringstream answer(a->Ask("logfill " + log + " A", 60000));
  int written = -1, error = -1;
  answer >> written >> error;
  EXPECT_EQ(error, ENOSPC);
  EXPECT_GT(written, 100);
  const std::string full = veltest::ReadFile(log);
  std::map<std::string, int> counts;
  EXPECT_TRUE(WholeLines(full, counts));
  EXPECT_EQ(counts["A"], written);

  // Room again: the next line goes in whole, and the error is gone.
  std::filesystem::remove(filler);
  EXPECT_EQ(a->Ask("setlog " + log + " " + Hex("after")), "1");
  EXPECT_EQ(a->Ask("logerror"), "0");
  EXPECT_EQ(veltest::ReadFile(log), full + "after\r\n");
}

TEST_F(MultiProcessTest, ExportsJoinAgainOnceTheCauseIsGone) {
  // A region of another size, held by a live program (of another build): no joiner may
  // start it afresh, and none can use it.
  const std::string name = "/VelShareView." + instance_;
  const int foreign = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  ASSERT_GE(foreign, 0);
  ASSERT_EQ(ftruncate(foreign, 1000), 0);
  ASSERT_EQ(flock(foreign, LOCK_SH), 0);
  auto a = Start();
  EXPECT_EQ(a->Ask("setcmd " + Hex("refused")), "0");
  EXPECT_EQ(a->Ask("processes"), "0");

  close(foreign);  // the program ends
  std::this_thread::sleep_for(milliseconds(1100));
  // Threads calling at once: one of them joins, and the process counts in once.
  EXPECT_EQ(a->Ask("threads 4 200", 60000), "ok");
  EXPECT_EQ(a->Ask("processes"), "1");
  auto b = Start();
  EXPECT_EQ(b->Ask("processes"), "2");
  EXPECT_EQ(a->Ask("setcmd " + Hex("x")), "1");
  EXPECT_EQ(b->Ask("getcmd"), "1 " + Hex("x"));
  // Leaving is as for a process that joined when it started: the last one removes all.
  a->Send("exit");
  EXPECT_EQ(a->Wait(), 0);
  EXPECT_EQ(b->Ask("processes"), "1");
  b->Send("exit");
  EXPECT_EQ(b->Wait(), 0);
  EXPECT_FALSE(RegionObjectsExist());
}

TEST_F(MultiProcessTest, ExportsRefuseWhenTheRegionCannotBeJoined) {
  // A name with a slash is no shared-memory object name: joining fails.
  PeerProcess a(VELMAR_PEER, {}, {"VELMAR_INSTANCE=no/such"});
  EXPECT_EQ(a.Ask("processes"), "0");
  EXPECT_EQ(a.Ask("setcmd " + Hex("x")), "0");
  EXPECT_EQ(a.Ask("getcmd"), "0 -");
  EXPECT_EQ(a.Ask("setlog none " + Hex("x")), "0");
  EXPECT_EQ(a.Ask("getlog 1 256"), "0 none");
  EXPECT_EQ(a.Ask("getinfo 16"), "0 - written");
  a.Send("exit");
  EXPECT_EQ(a.Wait(), 0);
}

// The group "velmar", made for one test and removed again whatever happens. A group the
// machine had before is left alone.
class VelmarGroup {
 public:
  VelmarGroup() {
    if (Exists()) return;
    made_ = std::system("groupadd velmar >/dev/null 2>&1") == 0;
  }
  ~VelmarGroup() {
    if (made_) std::system("groupdel velmar >/dev/null 2>&1");
  }
  static bool Exists() { return getgrnam("velmar") != nullptr; }

 private:
  bool made_ = false;
};

// Region and lock objects of `instance`: mode and group, and what velctl status says.
struct RegionAccess {
  mode_t regionMode, lockMode;
  gid_t regionGroup, lockGroup;
  std::string velctlLine;
};

RegionAccess AccessOf(const std::string& instance) {
  PeerProcess peer(VELMAR_PEER, {}, {"VELMAR_INSTANCE=" + instance});
  EXPECT_EQ(peer.Ask("echo ready"), "ready");
  struct stat region = {}, lock = {};
  stat(("/dev/shm/VelShareView." + instance).c_str(), &region);
  stat(("/dev/shm/VelStructMutEx." + instance).c_str(), &lock);
  RegionAccess access{region.st_mode & 07777, lock.st_mode & 07777, region.st_gid, lock.st_gid, ""};
  PeerProcess velctl(VELCTL, {"status"}, {"VELMAR_INSTANCE=" + instance});
  while (auto line = velctl.ReadLine())
    if (line->rfind("access: ", 0) == 0) access.velctlLine = *line;
  return access;
}

TEST(RegionAccessTest, OpenToEveryAccountUnlessTheGroupVelmarExists) {
  // The peers inherit a umask that must not narrow either mode.
  struct NarrowUmask {
    const mode_t old = umask(077);
    ~NarrowUmask() { umask(old); }
  } narrow;
  // (Another installation's test on this machine may make the group meanwhile.)
  if (!VelmarGroup::Exists()) {
    const RegionAccess open = AccessOf(UniqueInstance("open"));
    if (VelmarGroup::Exists()) GTEST_SKIP() << "the group velmar appeared during the test";
    EXPECT_EQ(open.regionMode, 0666u);
    EXPECT_EQ(open.lockMode, 0666u);
    EXPECT_EQ(open.velctlLine, "access: open to every local account");
  }
  if (geteuid() != 0) GTEST_SKIP() << "creating the group velmar for the test needs root";
  {
    const VelmarGroup group;
    const struct group* entry = getgrnam("velmar");
    ASSERT_NE(entry, nullptr) << "groupadd velmar failed";
    const gid_t gid = entry->gr_gid;
    const RegionAccess closed = AccessOf(UniqueInstance("closed"));
    EXPECT_EQ(closed.regionMode, 0660u);
    EXPECT_EQ(closed.lockMode, 0660u);
    EXPECT_EQ(closed.regionGroup, gid);
    EXPECT_EQ(closed.lockGroup, gid);
    EXPECT_EQ(closed.velctlLine, "access: group velmar");
  }
}

}  // namespace

namespace {

// Loading the library joins, unloading leaves: the last unload removes the region.
TEST(LoadAndUnloadTest, DlopenJoinsAndDlcloseLeaves) {
  const std::string instance = UniqueInstance("dl");
  setenv("VELMAR_INSTANCE", instance.c_str(), 1);
  const std::string shm = "/dev/shm/VelShareView." + instance;
  for (int round = 0; round < 2; ++round) {
    void* lib = dlopen(VELMAR_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto processes = reinterpret_cast<int16_t (*)()>(dlsym(lib, "GetProcesses"));
    auto setCommand = reinterpret_cast<int32_t (*)(const char*)>(dlsym(lib, "SetCommandEntry"));
    auto getCommand = reinterpret_cast<int16_t (*)(char*, uint32_t)>(dlsym(lib, "GetCommandEntry"));
    ASSERT_TRUE(processes && setCommand && getCommand);
    EXPECT_EQ(processes(), 1);
    char buffer[16] = "untouched";
    EXPECT_EQ(getCommand(buffer, sizeof buffer), 0);  // the first round's command is gone
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(setCommand("kept until unload"), 1);
    EXPECT_TRUE(std::filesystem::exists(shm));
    ASSERT_EQ(dlclose(lib), 0);
    EXPECT_FALSE(std::filesystem::exists(shm)) << "round " << round;
  }
  // Nothing but the exports is visible.
  void* lib = dlopen(VELMAR_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(dlsym(lib, "_ZN6velmar12StoreCommandERNS_12SharedRegionEPKc"), nullptr);
  EXPECT_NE(dlsym(lib, "SendPRN"), nullptr);
  dlclose(lib);
  unsetenv("VELMAR_INSTANCE");
}

}  // namespace
