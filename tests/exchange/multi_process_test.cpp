// The exports across real processes: each peer is a program that links libVelmar.so and
// so joins the region of its VELMAR_INSTANCE when it starts.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "peer_hex.h"
#include "peer_process.h"
#include "test_dir.h"

namespace {

// Waits (bounded) until the process sits in an open() that does not return: the FIFO
// without a reader, opened by the log-file copy while the lock is held.
bool BlockedInOpen(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/syscall";
  for (int i = 0; i < 1000; ++i) {
    std::ifstream in(path);
    long number = -1;
    if (in >> number && number == SYS_openat) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::ifstream again(path);
      if (again >> number && number == SYS_openat) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
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

TEST_F(MultiProcessTest, RegionVanishesWhenTheLastProcessLeaves) {
  {
    auto a = Start();
    auto b = Start();
    EXPECT_EQ(a->Ask("setcmd " + Hex("left behind")), "1");
    EXPECT_EQ(b->Ask("setdebug " + Hex("debug")), "1");
    EXPECT_EQ(b->Ask("setapps 2147483648 1"), "ok");
    a->Send("exit");
    b->Send("exit");
    EXPECT_EQ(a->Wait(), 0);
    EXPECT_EQ(b->Wait(), 0);
  }
  EXPECT_FALSE(RegionObjectsExist());
  auto c = Start();
  EXPECT_EQ(c->Ask("zeros"), "0 1");
  EXPECT_EQ(c->Ask("getcmd"), "0 -");
}

TEST_F(MultiProcessTest, RegionOfKilledProcessesComesBackZeroFilled) {
  {
    auto a = Start();
    auto b = Start();
    EXPECT_EQ(a->Ask("setcmd " + Hex("lost with its region")), "1");
    EXPECT_EQ(b->Ask("setinfo " + Hex("stale")), "1");
    EXPECT_EQ(b->Ask("setapps 1 1"), "ok");
    a->Kill(SIGKILL);
    b->Kill(SIGKILL);
    EXPECT_EQ(a->Wait(), 128 + SIGKILL);
    EXPECT_EQ(b->Wait(), 128 + SIGKILL);
  }
  EXPECT_TRUE(RegionObjectsExist());  // nobody was left to remove them
  auto c = Start();
  EXPECT_EQ(c->Ask("zeros"), "0 1");
  EXPECT_EQ(c->Ask("processes"), "1");
  auto d = Start();
  EXPECT_EQ(d->Ask("processes"), "2");
}

TEST_F(MultiProcessTest, ProcessKilledWhileHoldingTheLockDoesNotBlockTheOthers) {
  TestDir dir;
  const std::string fifo = dir.File("log.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto holder = Start();
  auto waiter = Start();
  // Opening a FIFO without a reader blocks inside the lock.
  holder->Send("lockfifo " + fifo + " " + Hex("stuck"));
  ASSERT_EQ(holder->ReadLine(), "locking");
  ASSERT_TRUE(BlockedInOpen(holder->pid())) << "the holder never reached the FIFO";
  waiter->Send("setdebug " + Hex("waited"));
  EXPECT_FALSE(waiter->ReadLine(500).has_value()) << "the lock was not held";

  holder->Kill(SIGKILL);
  EXPECT_EQ(holder->Wait(), 128 + SIGKILL);
  EXPECT_EQ(waiter->ReadLine(10000), "1");
  EXPECT_EQ(waiter->Ask("getdebug 1 256"), "6 " + Hex("waited"));
  EXPECT_EQ(waiter->Ask("getlog 1 256"), "5 " + Hex("stuck"));  // queued before the file
  auto late = Start();
  EXPECT_EQ(late->Ask("setcmd " + Hex("x")), "1");
  EXPECT_EQ(waiter->Ask("getcmd"), "1 " + Hex("x"));
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
  TestDir dir;
  const std::string log = dir.File("shared.LOG");
  constexpr int kLines = 300;
  auto a = Start();
  auto b = Start();
  a->Send("logmany " + log + " A " + std::to_string(kLines));
  b->Send("logmany " + log + " B " + std::to_string(kLines));
  EXPECT_EQ(a->ReadLine(60000), "done");
  EXPECT_EQ(b->ReadLine(60000), "done");
  const std::string content = ReadWholeFile(log);
  std::istringstream in(content);
  std::string line;
  std::map<std::string, int> next = {{"A", 0}, {"B", 0}};
  int lines = 0;
  while (std::getline(in, line)) {
    ASSERT_FALSE(line.empty());
    ASSERT_EQ(line.back(), '\r');
    std::istringstream words(line);
    std::string word, who, letters;
    int n = -1;
    words >> word >> who >> n >> letters;
    ASSERT_EQ(word, "line");
    ASSERT_EQ(n, next[who]++) << line;
    ASSERT_EQ(letters, std::string(150, static_cast<char>('a' + n % 26)));
    ++lines;
  }
  EXPECT_EQ(lines, 2 * kLines);
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
  TestDir dir;
  { std::ofstream(dir.File("lp0")); }
  auto a = Start({"VELMAR_PRINTER_DIR=" + dir.path()});
  EXPECT_EQ(a->Ask("processes"), "1");
  EXPECT_EQ(a->Ask("setinfo " + Hex("0123456789")), "1");
  EXPECT_EQ(a->Ask("getinfo 10"), "0 - written");
  EXPECT_EQ(a->Ask("getinfo 11"), "10 " + Hex("0123456789") + " written");
  EXPECT_EQ(a->Ask("getinfo 0"), "0 - untouched");
  // Only the low 16 bits of a size count: 65536 is 0, 65537 is 1.
  EXPECT_EQ(a->Ask("getinfo 65536"), "0 - untouched");
  EXPECT_EQ(a->Ask("getinfo 65547"), "10 " + Hex("0123456789") + " written");
  EXPECT_EQ(a->Ask("setcmd " + Hex("sixsix")), "1");
  EXPECT_EQ(a->Ask("getcmd 4"), "3 " + Hex("six"));
  EXPECT_EQ(a->Ask("getcmd 4"), "0 -");
  EXPECT_EQ(a->Ask("print " + Hex("a\nb") + " 0"), "1");
  EXPECT_EQ(a->Ask("print " + Hex("x") + " 1"), "0");      // no such device
  EXPECT_EQ(a->Ask("print " + Hex("x") + " 65536"), "1");  // low 16 bits: port 0
  EXPECT_EQ(ReadWholeFile(dir.File("lp0")), "a\r\nbx");
  EXPECT_EQ(a->Ask("apps 0"), "0");
  // Null pointers are refused, never followed; a zero-size buffer is never written.
  EXPECT_EQ(a->Ask("nulls"), "00000000000 abc 7");
}

TEST_F(MultiProcessTest, SysLogEntryGoesToQueueAndFile) {
  TestDir dir;
  const std::string log = dir.File("20010305.LOG");
  auto a = Start();
  const std::string longEntry(120, 'z');
  EXPECT_EQ(a->Ask("setlog " + log + " " + Hex(longEntry)), "1");
  EXPECT_EQ(a->Ask("setlog " + log + " " + Hex("-")), "1");
  EXPECT_EQ(a->Ask("setlog " + dir.File("no/such/dir.LOG") + " " + Hex("still queued")), "1");
  EXPECT_EQ(a->Ask("getlog 1 256"), "119 " + Hex(std::string(119, 'z')));
  EXPECT_EQ(a->Ask("getlog 0 256"), "12 " + Hex("still queued"));  // "-" queued nothing
  EXPECT_EQ(ReadWholeFile(log), longEntry + "\r\n\r\n" + std::string(68, '-') + "\r\n\r\n");
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
