// Load and fault suites: the real velweb, the real library and the real velctl in
// processes of their own, over real TCP on loopback, under many clients at once,
// hostile clients and input, a receiver file that changes under the server, a log that
// cannot be written and a lock holder that dies. Every loop and wait is bounded.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <latch>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "fault_support.h"

namespace veltest {
namespace {

// Pages of the test site: the posted page shows one line per receiver it was sent to.
void WriteSite(Velweb& server) {
  server.Put("INDEX.HTM", "<p>[VERSION]</p>\r\n<li>[RECEIVERS]</li>\r\nend\r\n");
  server.Put("SEND.HTM", "<p>sent to</p>\r\n<b>[SUBMITTEDONES]</b>\r\nend");
  server.Put("A.HTM", "a\r\n");
}

// Ends the server as the system would; it must leave cleanly, with nothing from the
// sanitizers.
void ExpectCleanStop(Velweb& server) {
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.Err();
  const std::string err = server.Err();
  EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
  EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
}

std::string Post(const std::string& body) {
  return "POST /send.htm HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

// ---------------------------------------------------------------------------------------
// 40 clients post 25 messages each at once while velctl drains the command buffer.

TEST(FaultLoad, ConcurrentPostsWhileVelctlDrainsLoseAndDuplicateNothing) {
  constexpr int kClients = 40;
  constexpr int kEach = 25;
  Velweb server;
  WriteSite(server);
  ASSERT_TRUE(server.Start());
  Follower drain(server, "commands --follow --raw");
  ASSERT_TRUE(drain.started());

  std::mutex m;
  std::multiset<std::string> handedOver;  // entries whose reply lists the receivers
  std::vector<std::string> failures;
  int notSent = 0;
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      for (int n = 0; n < kEach; ++n) {
        const std::string id = std::to_string(c) + "-" + std::to_string(n);
        const std::string reply =
            server.Fetch(Post("message=m" + id + "&receivers=C" + std::to_string(c) +
                              "&receivers=N" + std::to_string(n)));
        const std::string listed = "<p>sent to</p>\r\n<b>C" + std::to_string(c) + "</b>\r\n<b>N" +
                                   std::to_string(n) + "</b>\r\nend\r\n";
        std::lock_guard<std::mutex> lock(m);
        if (reply == listed) {
          handedOver.insert("FT:C" + std::to_string(c) + "\\xfeN" + std::to_string(n) + "\\xfem" +
                            id);
        } else if (reply == "<p>sent to</p>\r\n<b>[Not Sent]</b>\r\nend\r\n") {
          ++notSent;
        } else {
          failures.push_back(id + ": " + reply.substr(0, 80));
        }
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_TRUE(failures.empty()) << failures.size() << " replies neither listed nor refused, first "
                                << failures.front();

  // Everything handed over reaches velctl; then nothing more comes.
  std::vector<std::string> lines;
  WaitFor([&] { return drain.Lines().size() >= handedOver.size(); }, milliseconds(20000));
  std::this_thread::sleep_for(milliseconds(400));
  lines = drain.Lines();
  const std::multiset<std::string> taken(lines.begin(), lines.end());
  EXPECT_EQ(taken.size(), handedOver.size()) << notSent << " replies said [Not Sent]";
  EXPECT_TRUE(taken == handedOver) << "commands taken differ from the replies that listed them";
  for (const auto& entry : taken) {
    EXPECT_EQ(taken.count(entry), 1u) << "duplicated: " << entry;
  }
  // The buffer holds some 200 such entries; velctl empties it ten times a second.
  EXPECT_GE(handedOver.size(), 100u) << notSent << " replies said [Not Sent]";
  ExpectCleanStop(server);
  EXPECT_EQ(server.Served(), kClients * kEach);
}

// ---------------------------------------------------------------------------------------
// Crowds of hostile clients. While one is up, real clients ask for a page one after the
// other: each is served within a second. Once the crowd is gone, serving goes on.

// Keeps a crowd up on its own thread until the test is done with it.
class Crowd {
 public:
  template <typename KeepUp>
  Crowd(KeepUp keepUp) : thread_([this, keepUp] { keepUp(stop_); }) {}
  ~Crowd() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Sleeps `time` in short steps; false once `stop` is set.
bool Pause(const std::atomic<bool>& stop, milliseconds time) {
  const auto end = Clock::now() + time;
  while (!stop && Clock::now() < end) std::this_thread::sleep_for(milliseconds(10));
  return !stop;
}

void ExpectRealClientsServedPromptly(Velweb& server, milliseconds crowdSettles) {
  std::this_thread::sleep_for(crowdSettles);
  for (int i = 0; i < 10; ++i) {
    const auto start = Clock::now();
    EXPECT_EQ(server.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "a\r\n") << "real client " << i;
    EXPECT_LT(Clock::now() - start, milliseconds(1000)) << "real client " << i;
    std::this_thread::sleep_for(milliseconds(100));
  }
}

TEST(FaultCrowd, SixtyClientsSendingAByteEveryHalfSecondHoldNobodyUp) {
  Velweb server;
  WriteSite(server);
  ASSERT_TRUE(server.Start());
  {
    Crowd crowd([&](const std::atomic<bool>& stop) {
      std::vector<std::unique_ptr<Client>> slow(60);
      do {
        // A request line that never ends; a client that was dropped comes back.
        for (auto& client : slow) {
          if (!client || !client->connected() || !client->Send("x")) {
            client = std::make_unique<Client>(server.port());
            client->Send("GET /");
          }
        }
      } while (Pause(stop, milliseconds(500)));
    });
    ExpectRealClientsServedPromptly(server, milliseconds(600));
  }
  EXPECT_EQ(server.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "a\r\n");
  ExpectCleanStop(server);
}

TEST(FaultCrowd, AThousandSilentConnectionsHoldNobodyUp) {
  // More silent connections than the server keeps: room is made for real clients (which
  // ones are closed for them is the connection table's own test).
  constexpr int kSilent = 1100;
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < kSilent + 100)
    GTEST_SKIP() << "this test needs " << kSilent + 100 << " descriptors; the limit is "
                 << limit.rlim_cur;
  Velweb server;
  WriteSite(server);
  ASSERT_TRUE(server.Start());
  {
    std::vector<std::unique_ptr<Client>> silent;
    for (int i = 0; i < kSilent; ++i) silent.push_back(std::make_unique<Client>(server.port()));
    for (const auto& client : silent) ASSERT_TRUE(client->connected());
    ExpectRealClientsServedPromptly(server, milliseconds(1200));
  }
  EXPECT_EQ(server.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "a\r\n");
  ExpectCleanStop(server);
}

TEST(FaultCrowd, ABurstOfTwoThousandRealClientsIsServedWhole) {
  // More clients at once than the server has places: those with their request sent, or
  // just arrived, keep their place, and the rest wait in the backlog for one.
  constexpr int kThreads = 40, kEach = 50;
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < kThreads * kEach + 100)
    GTEST_SKIP() << "this test needs " << kThreads * kEach + 100 << " descriptors; the limit is "
                 << limit.rlim_cur;
  Velweb server;
  WriteSite(server);
  // A grace longer than the burst takes to connect on a loaded machine.
  ASSERT_TRUE(server.Start({{"VELWEB_IDLE_GRACE_MS", "10000"}}));
  std::atomic<int> served{0};
  std::latch connected(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      // All connected before any request goes: every place holds a client whose request
      // is still to come, and the rest wait in the backlog.
      std::vector<std::unique_ptr<Client>> clients;
      for (int i = 0; i < kEach; ++i) clients.push_back(std::make_unique<Client>(server.port()));
      connected.arrive_and_wait();
      for (auto& client : clients) client->Send("GET /a.htm HTTP/1.0\r\n\r\n");
      for (auto& client : clients) {
        if (client->ReadToEnd(milliseconds(60000)) == "a\r\n") ++served;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(served, kThreads * kEach);
  ExpectCleanStop(server);
}

TEST(FaultCrowd, ClientsThatNeverReadALargeFileHoldNobodyUp) {
  Velweb server;
  WriteSite(server);
  WriteSparseFile(server.dir() / "BIG.GIF", 20 * 1024 * 1024);
  ASSERT_TRUE(server.Start());
  {
    std::vector<std::unique_ptr<Client>> stalled;
    for (int i = 0; i < 5; ++i) {
      stalled.push_back(std::make_unique<Client>(server.port(), 4096));
      ASSERT_TRUE(stalled.back()->Send("GET /big.gif HTTP/1.0\r\n\r\n"));
    }
    ExpectRealClientsServedPromptly(server, milliseconds(300));
  }
  EXPECT_EQ(server.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "a\r\n");
  ExpectCleanStop(server);
}

// ---------------------------------------------------------------------------------------
// Hostile input: the server answers or disconnects, and keeps serving.

struct HostileCase {
  const char* name;
  std::string bytes;
};

std::vector<HostileCase> HostileCases() {
  std::mt19937 random(7);
  std::string garbage;
  for (int i = 0; i < 8192; ++i) garbage += static_cast<char>(random() & 0xFF);
  std::string receivers = "message=many";
  for (int i = 0; i < 3000; ++i) receivers += "&receivers=R" + std::to_string(i);
  std::string blanks = "receivers=A&message=";
  blanks += std::string(20000, '+');
  return {
      {"oversized without end", std::string(200 * 1024, 'A')},
      {"oversized body",
       "POST /send.htm HTTP/1.0\r\nContent-Length: 200000\r\n\r\n" + std::string(200000, 'm')},
      {"garbage", garbage},
      {"garbage with header end", garbage + "\r\n\r\n"},
      {"NUL bytes", std::string("\0\0\0\0GET /\0\r\n\r\n", 14)},
      {"NUL in the name", std::string("GET /a\0.htm HTTP/1.0\r\n\r\n", 24)},
      {"0xFF in form fields", Post("message=a\xFF\xFF&receivers=\xFF")},
      {"encoded 0xFF and 0xFE", Post("message=%FF%FE&receivers=%FE%FF%FE")},
      {"raw 0xFE in a name", Post("message=x&receivers=A\xFE"
                                  "B")},
      {"request line of 30000", "GET /" + std::string(30000, 'B') + ".HTM HTTP/1.0\r\n\r\n"},
      {"request line of 60000", "GET /" + std::string(60000, 'C') + " HTTP/1.0\r\n\r\n"},
      {"thousands of receivers", Post(receivers)},
      {"fields past 32767", Post(std::string(33000, 'z') + "&message=late&receivers=L")},
      {"long blank message", Post(blanks)},
      {"huge content length",
       "POST /send.htm HTTP/1.0\r\nContent-Length: 99999999999999999999\r\n\r\nx"},
      {"negative content length", "POST /send.htm HTTP/1.0\r\nContent-Length: -5\r\n\r\nx"},
      {"line feeds only", "GET /a.htm HTTP/1.0\n\n"},
      {"traversal", "GET /../../etc/passwd HTTP/1.0\r\n\r\n"},
      {"backslash", "GET /..\\..\\etc\\passwd HTTP/1.0\r\n\r\n"},
      {"wildcards", "GET /*.htm HTTP/1.0\r\n\r\n"},
      {"percent at the end", Post("receivers=A&message=%")},
      {"other method", "DELETE /a.htm HTTP/1.0\r\n\r\n"},
  };
}

TEST(FaultInput, HostileRequestsAreAnsweredOrCutOffAndServingGoesOn) {
  Velweb server;
  WriteSite(server);
  constexpr int kRequestMs = 600;
  ASSERT_TRUE(server.Start({{"VELWEB_REQUEST_TIMEOUT_MS", std::to_string(kRequestMs)}}));
  for (const HostileCase& c : HostileCases()) {
    SCOPED_TRACE(c.name);
    const auto begin = Clock::now();
    {
      Client client(server.port());
      ASSERT_TRUE(client.connected());
      client.Send(c.bytes);  // the server may cut it off before all is sent
      bool closed = false;
      client.ReadToEnd(milliseconds(kRequestMs + 5000), &closed);
      EXPECT_TRUE(closed) << "the connection was left open";
    }
    EXPECT_LT(Clock::now() - begin, milliseconds(kRequestMs + 4000));
    ASSERT_TRUE(server.Running()) << server.Err();
    EXPECT_EQ(server.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "a\r\n");
  }
  // Nothing the alarm server would trip over was handed to it: no 0xFF, no NUL, no
  // oversized entry.
  const std::string taken = server.Velctl("commands --raw");
  EXPECT_EQ(taken.find("\\xff"), std::string::npos) << taken;
  EXPECT_EQ(taken.find("\\x00"), std::string::npos) << taken;
  EXPECT_NE(server.Log().find("Velmar Web Server Started"), std::string::npos);
  ExpectCleanStop(server);
}

// ---------------------------------------------------------------------------------------
// The receiver file rewritten, truncated and deleted many times a second.

TEST(FaultReceivers, FileChurnWhileServingNeverShowsAMixedList) {
  Velweb server;
  WriteSite(server);
  const std::vector<std::string> setA = {"Alpha", "bravo", "Charlie", "delta"};
  const std::vector<std::string> setB = {"Zulu", "yankee", "X-ray", "whiskey", "Victor", "u"};
  const std::vector<std::string> setC = {"Final1", "Final2", "Final3"};
  const fs::path file = server.dir() / "vel_rcv.dat";
  WriteFile(file, ReceiverFileBytes(setA));
  ASSERT_TRUE(server.Start());

  // The lists a page may show: what some complete file or some cut of it held.
  std::set<std::vector<std::string>> consistent;
  for (const auto* set : {&setA, &setB, &setC}) {
    for (size_t k = 0; k <= set->size(); ++k) {
      std::vector<std::string> names(set->begin(), set->begin() + static_cast<long>(k));
      consistent.insert(SortedNoCase(names));
    }
  }

  std::atomic<bool> stop{false};
  std::atomic<int> changes{0};
  std::thread churn([&] {
    const std::string a = ReceiverFileBytes(setA), b = ReceiverFileBytes(setB);
    for (int i = 0; !stop && i < 5000; ++i) {
      std::error_code ignored;
      switch (i % 5) {
        case 0:
          WriteFile(file, a);
          break;
        case 1:
          WriteFile(file, b.substr(0, b.size() / 2));
          break;  // cut inside a record
        case 2:
          fs::remove(file, ignored);
          break;
        case 3:
          WriteFile(file, b);
          break;
        case 4:
          WriteFile(file, "");
          break;
      }
      ++changes;
      std::this_thread::sleep_for(milliseconds(7));
    }
  });

  int pages = 0;
  std::vector<std::string> bad;
  // Pages are fetched while the file changes, until it has changed often enough.
  const auto end = Clock::now() + milliseconds(20000);
  while (Clock::now() < end && changes < 100) {
    const std::string page = server.Fetch("GET / HTTP/1.0\r\n\r\n");
    ++pages;
    const auto names = ListedNames(page);
    if (!names || !consistent.count(*names)) bad.push_back(page.substr(0, 200));
  }
  stop = true;
  churn.join();
  EXPECT_TRUE(bad.empty()) << bad.size() << " of " << pages << " pages, first:\n" << bad.front();
  EXPECT_GT(changes.load(), 40) << "the file changed too rarely to prove anything";
  ASSERT_TRUE(server.Running()) << server.Err();

  // Once the file rests, the next reload shows it.
  std::this_thread::sleep_for(milliseconds(1100));
  WriteFile(file, ReceiverFileBytes(setC));
  EXPECT_TRUE(WaitFor(
      [&] { return ListedNames(server.Fetch("GET / HTTP/1.0\r\n\r\n")) == SortedNoCase(setC); },
      milliseconds(6000)));
  EXPECT_TRUE(WaitFor(  // the log line is written from the exchange thread
      [&] {
        return server.Log().find("Velmar Web Server reloaded 3 receivers") != std::string::npos;
      }));
  ExpectCleanStop(server);
}

// ---------------------------------------------------------------------------------------
// A log that cannot be written.

void ExpectPostHandedOverAndPagesServed(Velweb& server) {
  EXPECT_EQ(server.Fetch(Post("message=Fire&receivers=GROUP1&receivers=JOHN")),
            "<p>sent to</p>\r\n<b>GROUP1</b>\r\n<b>JOHN</b>\r\nend\r\n");
  EXPECT_EQ(server.Velctl("commands --raw"), "FT:GROUP1\\xfeJOHN\\xfeFire\n");
  EXPECT_EQ(server.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "a\r\n");
  EXPECT_TRUE(server.Running()) << server.Err();
}

TEST(FaultLog, LogFileThatCannotBeOpenedStopsNothing) {
  Velweb server;
  WriteSite(server);
  ASSERT_TRUE(server.Start());
  // The day's log name taken by a directory: no account can append to it.
  fs::remove(server.LogPath());
  fs::create_directory(server.LogPath());
  ExpectPostHandedOverAndPagesServed(server);
  // The log line still reached the system log queue.
  EXPECT_NE(server.Velctl("syslog --rewind").find("Received HTTP message request from"),
            std::string::npos);
  ExpectCleanStop(server);
}

TEST(FaultLog, ReadOnlyProgramDirectoryStopsNothing) {
  Velweb server;
  WriteSite(server);
  // Permissions bind only an ordinary account: as root the server runs as nobody.
  const bool root = getuid() == 0;
  fs::permissions(server.dir(), fs::perms::all);
  std::map<std::string, std::string> env;
  if (root) env["VELWEB_TEST_AS_NOBODY"] = "1";
  if (!server.Start(env)) {
    if (server.WaitExit() == 126) GTEST_SKIP() << "this machine does not let root change account";
    FAIL() << server.Err();
  }
  fs::remove(server.LogPath());
  fs::permissions(server.dir(), fs::perms::owner_read | fs::perms::owner_exec |
                                    fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
  ExpectPostHandedOverAndPagesServed(server);
  EXPECT_FALSE(fs::exists(server.LogPath()));
  ExpectCleanStop(server);
  fs::permissions(server.dir(), fs::perms::all);
}

// ---------------------------------------------------------------------------------------
// A process that holds the library's lock, stopped, is killed while the server posts.

// Once the lock holder is gone or goes on, the next message is handed over as ever.
void ExpectTheRegionGoesOn(Velweb& server) {
  EXPECT_EQ(server.Fetch(Post("message=next&receivers=B")),
            "<p>sent to</p>\r\n<b>B</b>\r\nend\r\n");
  EXPECT_EQ(server.Velctl("commands --raw"), "FT:B\\xfenext\n");
  ExpectCleanStop(server);
}

TEST(FaultLock, KilledLockHolderHoldsTheServerUpForLessThanASecond) {
  Velweb server;
  WriteSite(server);
  ASSERT_TRUE(server.Start());
  LockHolder holder(server.instance());
  ASSERT_TRUE(holder.Holding()) << "the holder never stopped with the lock";

  // Killed well within the library's 2 s bound on a wait for the lock.
  Client client(server.port());
  ASSERT_TRUE(client.Send(Post("message=after&receivers=A")));
  EXPECT_FALSE(client.Readable(milliseconds(500))) << "the server did not wait for the lock";
  holder.Kill();
  const auto killed = Clock::now();
  bool closed = false;
  const std::string reply = client.ReadToEnd(milliseconds(5000), &closed);
  EXPECT_LT(Clock::now() - killed, milliseconds(1000));
  EXPECT_EQ(reply, "<p>sent to</p>\r\n<b>A</b>\r\nend\r\n");
  EXPECT_TRUE(closed);
  EXPECT_EQ(server.Velctl("commands --raw"), "FT:A\\xfeafter\n");
  ExpectTheRegionGoesOn(server);

  // Stopped while another program keeps the lock: the waiting messages cannot be
  // counted, and the log says so. Posts waiting behind the lock are answered, not
  // dropped: those not started are called off, the one under way gets its result as the
  // server ends.
  ASSERT_TRUE(server.Start());
  LockHolder stuck(server.instance());
  ASSERT_TRUE(stuck.Holding()) << "the holder never stopped with the lock";
  std::vector<std::unique_ptr<Client>> waiting;
  for (int i = 0; i < 3; ++i) {
    waiting.push_back(std::make_unique<Client>(server.port()));
    ASSERT_TRUE(waiting.back()->Send(Post("message=w" + std::to_string(i) + "&receivers=A")));
  }
  EXPECT_FALSE(waiting.back()->Readable(milliseconds(300))) << "the posts did not wait";
  ExpectCleanStop(server);
  for (auto& client : waiting) {
    EXPECT_EQ(client->ReadToEnd(milliseconds(5000)),
              "<p>sent to</p>\r\n<b>[Not Sent]</b>\r\nend\r\n");
  }
  EXPECT_NE(server.Log().find("WEB Velmar Web Server could not count the waiting messages: the "
                              "exchange stayed locked\r\n"),
            std::string::npos)
      << server.Log();
  stuck.Kill();
}

TEST(FaultLock, StoppedLockHolderOrALogFifoKeepNoPageFromBeingServed) {
  Velweb server;
  WriteSite(server);
  ASSERT_TRUE(server.Start());
  // From now on the day's log is a FIFO that nobody reads: writing it must cost nothing.
  fs::remove(server.LogPath());
  ASSERT_EQ(mkfifo(server.LogPath().c_str(), 0600), 0);
  LockHolder holder(server.instance());
  ASSERT_TRUE(holder.Holding()) << "the holder never stopped with the lock";

  Client poster(server.port());
  const auto posted = Clock::now();
  ASSERT_TRUE(poster.Send(Post("message=stuck&receivers=A")));
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    EXPECT_EQ(server.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "a\r\n");
    EXPECT_LT(Clock::now() - start, milliseconds(500)) << "a page waited for the exchange";
  }
  // The hand-over gives up after the library's bound on the wait, and says so.
  const std::string notSent = "<p>sent to</p>\r\n<b>[Not Sent]</b>\r\nend\r\n";
  EXPECT_EQ(poster.ReadToEnd(milliseconds(8000)), notSent);
  EXPECT_LT(Clock::now() - posted, milliseconds(3000));

  // 300 posts at once: the ones that find the exchange's line full are answered at
  // once, the others once their wait is over; pages are served all the while.
  std::vector<std::unique_ptr<Client>> posters;
  const auto crowdPosted = Clock::now();
  for (int i = 0; i < 300; ++i) {
    posters.push_back(std::make_unique<Client>(server.port()));
    ASSERT_TRUE(posters.back()->Send(Post("message=m" + std::to_string(i) + "&receivers=A")));
  }
  const auto start = Clock::now();
  EXPECT_EQ(server.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "a\r\n");
  EXPECT_LT(Clock::now() - start, milliseconds(500)) << "a page waited behind the posts";
  for (auto& client : posters) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(crowdPosted + milliseconds(10000) - Clock::now());
    EXPECT_EQ(client->ReadToEnd(std::max(left, milliseconds(1))), notSent);
  }
  EXPECT_LT(Clock::now() - crowdPosted, milliseconds(10000));

  holder.Continue();
  ExpectTheRegionGoesOn(server);
}

// FIFOs nobody writes, under the names of the receiver file, a page and an image: each
// counts as missing (the receivers stay as they were), and nothing waits for a writer.
TEST(FaultFiles, FifosUnderTheNamesOfFilesFreezeNothing) {
  Velweb server;
  WriteSite(server);
  server.Put("vel_rcv.dat", ReceiverFileBytes({"Brigade"}));
  ASSERT_TRUE(server.Start());
  const std::string page = "<p>1.0.00</p>\r\n<li>Brigade</li>\r\nend\r\n";
  ASSERT_EQ(server.Fetch("GET / HTTP/1.0\r\n\r\n"), page);
  for (const char* name : {"vel_rcv.dat", "B.HTM", "C.GIF"}) {
    fs::remove(server.dir() / name);
    ASSERT_EQ(mkfifo((server.dir() / name).c_str(), 0600), 0) << name;
  }
  // The reload finds the FIFO and keeps the list, and says so once.
  const std::string warning =
      " WEB vel_rcv.dat cannot be read (it is no regular file): the "
      "receiver list stays as it was\r\n";
  ASSERT_TRUE(WaitFor([&] { return server.Log().find(warning) != std::string::npos; }));
  for (int restart = 0; restart < 2; ++restart) {
    SCOPED_TRACE(restart ? "started with the FIFO" : "the FIFO made while running");
    for (const char* request :
         {"GET / HTTP/1.0\r\n\r\n", "GET /b.htm HTTP/1.0\r\n\r\n", "GET /c.gif HTTP/1.0\r\n\r\n"}) {
      const auto start = Clock::now();
      const std::string answer = server.Fetch(request);
      EXPECT_LT(Clock::now() - start, milliseconds(500)) << request;
      if (std::string(request).find("GET / ") == 0) {
        EXPECT_EQ(answer, restart ? "<p>1.0.00</p>\r\nend\r\n" : page);
      } else {
        EXPECT_NE(answer.find("File Not Found"), std::string::npos) << request;
      }
    }
    EXPECT_EQ(server.Fetch(Post("message=m&receivers=Brigade")),
              "<p>sent to</p>\r\n<b>Brigade</b>\r\nend\r\n");
    ExpectCleanStop(server);
    if (!restart) {
      ASSERT_TRUE(server.Start());
    }
  }
}

// ---------------------------------------------------------------------------------------
// A clean stop with messages that nobody has taken yet.

TEST(FaultStop, MessagesWaitingAtACleanStopAreKeptAndHandedBackOnce) {
  Velweb server;
  WriteSite(server);
  // A FIFO under the kept file's name holds up nothing and is handed over as nothing.
  ASSERT_EQ(mkfifo((server.dir() / "vel_kept.dat").c_str(), 0600), 0);
  ASSERT_TRUE(server.Start());
  EXPECT_NE(server.Log().find(
                "WEB Velmar Web Server hands back nothing from vel_kept.dat: it is not a regular "
                "file\r\n"),
            std::string::npos)
      << server.Log();
  std::string expected;
  for (int i = 1; i <= 5; ++i) {
    const std::string message = "m" + std::to_string(i);
    ASSERT_EQ(server.Fetch(Post("message=" + message + "&receivers=A")),
              "<p>sent to</p>\r\n<b>A</b>\r\nend\r\n");
    expected += "FT:A\\xfe" + message + "\n";
  }
  // Alone with the region: with the server it would vanish, and the messages with it.
  ExpectCleanStop(server);
  EXPECT_TRUE(fs::is_regular_file(server.dir() / "vel_kept.dat"));
  EXPECT_NE(
      server.Log().find("WEB Velmar Web Server kept 5 waiting messages for its next start\r\n"),
      std::string::npos)
      << server.Log();
  ASSERT_TRUE(server.Start());
  EXPECT_EQ(server.Velctl("commands --raw"), expected) << "handed back in order, once";
  EXPECT_FALSE(fs::exists(server.dir() / "vel_kept.dat"));
  EXPECT_NE(server.Log().find("WEB Velmar Web Server handed back 5 kept messages\r\n"),
            std::string::npos);

  // Another program attached: the region outlives the server, nothing is taken out.
  ASSERT_EQ(server.Fetch(Post("message=m6&receivers=A")), "<p>sent to</p>\r\n<b>A</b>\r\nend\r\n");
  BackgroundProcess reader({(server.dir() / "velctl").string(), "syslog", "--follow"},
                           server.instance());
  ASSERT_TRUE(WaitFor([&] { return !reader.Lines().empty(); }));
  ExpectCleanStop(server);
  EXPECT_FALSE(fs::exists(server.dir() / "vel_kept.dat"));
  EXPECT_NE(server.Log().find("WEB Velmar Web Server leaves 1 waiting message to the alarm server"),
            std::string::npos);
  EXPECT_EQ(server.Velctl("commands --raw"), "FT:A\\xfem6\n");

  // The other program is killed: it stays in the count of processes, but the region goes
  // with the server all the same, so the server keeps what waits.
  ASSERT_TRUE(server.Start());
  for (const char* message : {"m7", "m8"}) {
    ASSERT_EQ(server.Fetch(Post("message=" + std::string(message) + "&receivers=A")),
              "<p>sent to</p>\r\n<b>A</b>\r\nend\r\n");
  }
  reader.Kill(SIGKILL);
  ExpectCleanStop(server);
  EXPECT_NE(
      server.Log().find("WEB Velmar Web Server kept 2 waiting messages for its next start\r\n"),
      std::string::npos)
      << server.Log();
  ASSERT_TRUE(server.Start());
  EXPECT_EQ(server.Velctl("commands --raw"), "FT:A\\xfem7\nFT:A\\xfem8\n");

  // A closed terminal stops the server as cleanly; what cannot be kept is said on the
  // console before the server ends.
  ASSERT_EQ(server.Fetch(Post("message=m9&receivers=A")), "<p>sent to</p>\r\n<b>A</b>\r\nend\r\n");
  fs::create_directory(server.dir() / "vel_kept.dat");
  EXPECT_EQ(server.Stop(SIGHUP), 0) << server.Err();
  // Each one written out, receivers and text, to be sent again by hand.
  EXPECT_NE(server.Err().find("Warning: Velmar Web Server could not keep 1 waiting message in "
                              "vel_kept.dat: Is a directory; they are written here, to be sent "
                              "again:\nWarning: not kept 1 of 1: to A: m9\n"),
            std::string::npos)
      << server.Err();
  EXPECT_NE(server.Out().find("stopped: its terminal was closed (SIGHUP)"), std::string::npos)
      << server.Out();
}

// Six kept messages of which the buffer takes two at a time: over three stops and starts
// they reach the taker in their order, each once, and a new message waits behind them.
TEST(FaultStop, KeptMessagesKeepTheirOrderOverStopsAndStarts) {
  Velweb server;
  WriteSite(server);
  std::vector<std::string> kept;  // each as velctl --raw shows it
  std::string file;
  for (int i = 1; i <= 6; ++i) {
    const std::string text = "e" + std::to_string(i) + std::string(1900, 'x');
    file += "FT:A\xFE" + text + "\xFF";
    kept.push_back("FT:A\\xfe" + text + "\n");
  }
  server.Put("vel_kept.dat", file);
  std::string taken;
  auto takeAll = [&] { taken += server.Velctl("commands --raw"); };
  auto expectTaken = [&](size_t upTo) {
    std::string expected;
    for (size_t i = 0; i < upTo; ++i) expected += kept[i];
    EXPECT_EQ(taken, expected);
  };

  ASSERT_TRUE(server.Start());
  EXPECT_TRUE(server.LogShows("handed back 2 kept messages; 4 wait in vel_kept.dat"))
      << server.Log();
  EXPECT_EQ(server.Fetch(Post("message=new1&receivers=A")),
            "<p>sent to</p>\r\n<b>[Not Sent]</b>\r\nend\r\n")
      << "a new message goes behind the kept ones";
  ExpectCleanStop(server);

  ASSERT_TRUE(server.Start());
  takeAll();
  expectTaken(2);
  // The rest gets another try without a new post.
  EXPECT_TRUE(server.LogShows("handed back 2 kept messages; 2 wait in vel_kept.dat"))
      << server.Log();
  ExpectCleanStop(server);

  ASSERT_TRUE(server.Start());
  takeAll();
  expectTaken(4);
  ASSERT_TRUE(WaitFor([&] { return !fs::exists(server.dir() / "vel_kept.dat"); }));
  EXPECT_EQ(server.Fetch(Post("message=new1&receivers=A")),
            "<p>sent to</p>\r\n<b>A</b>\r\nend\r\n");
  ExpectCleanStop(server);

  ASSERT_TRUE(server.Start());
  takeAll();
  kept.push_back("FT:A\\xfenew1\n");
  expectTaken(7);
  ExpectCleanStop(server);
}

// ---------------------------------------------------------------------------------------
// The log's file system fills up.

// A file system of the test's own, room for a program directory and 2 MiB more, mounted
// for the test's lifetime; `why` says why there is none (not root, no mount allowed).
struct SmallDisk {
  SmallDisk() {
    if (geteuid() != 0) {
      why = "mounting a small file system needs root";
      return;
    }
    char pattern[] = "/tmp/velweb-full-XXXXXX";
    path = mkdtemp(pattern);
    uintmax_t dist = 0;
    for (const auto& entry : fs::recursive_directory_iterator(VELWEB_DIST_DIR)) {
      if (entry.is_regular_file()) dist += entry.file_size();
    }
    const std::string size = "size=" + std::to_string(dist / 1024 + 2048) + "k";
    if (mount("tmpfs", path.c_str(), "tmpfs", 0, size.c_str()) != 0) {
      why = std::string("this machine does not let the test mount a file system: ") +
            std::strerror(errno);
    }
  }
  ~SmallDisk() {
    if (why.empty()) umount2(path.c_str(), MNT_DETACH);
    if (!path.empty()) fs::remove(path);
  }
  fs::path path;
  std::string why;
};

TEST(FaultLog, AFullDiskLosesWholeLogLinesAndSaysSoOnce) {
  const SmallDisk disk;
  if (!disk.why.empty()) GTEST_SKIP() << disk.why;
  const fs::path& mountPoint = disk.path;
  {
    Velweb server(mountPoint);
    WriteSite(server);
    ASSERT_TRUE(server.Start());
    {  // Every byte left taken.
      std::ofstream filler(mountPoint / "filler", std::ios::binary);
      const std::string block(64 * 1024, 'f');
      while (filler.write(block.data(), block.size())) {
      }
    }
    for (int i = 0; i < 100; ++i) {
      ASSERT_EQ(server.Fetch(Post("message=full" + std::to_string(i) + "&receivers=A")),
                "<p>sent to</p>\r\n<b>A</b>\r\nend\r\n");
    }
    fs::remove(mountPoint / "filler");
    ASSERT_EQ(server.Fetch(Post("message=room&receivers=A")),
              "<p>sent to</p>\r\n<b>A</b>\r\nend\r\n");
    // Whole lines only: each a stamp, the tag and a text, with its line end.
    const std::string log = server.Log();
    const std::regex line("\\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d WEB [^\r\n]*\r\n");
    std::string rest = std::regex_replace(log, line, "");
    EXPECT_EQ(rest, "") << "not whole lines in:\n" << log;
    EXPECT_NE(log.find("HTTP message request"), std::string::npos);
    EXPECT_LT(log.find("from 127.0.0.1\r\n"), log.size());
    const std::string err = server.Err();
    const std::string warning = "could not be written: No space left on device";
    EXPECT_NE(err.find(warning), std::string::npos) << err;
    EXPECT_EQ(err.find(warning), err.rfind(warning)) << "said more than once a minute:\n" << err;
    ExpectCleanStop(server);
  }
}

// ---------------------------------------------------------------------------------------
// The server runs out of descriptors: clients wait, nothing spins, and serving resumes.

size_t OpenDescriptors(pid_t pid) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry :
       fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    ++count;
  }
  return count;
}

// User plus system CPU time of a process, in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long utime = 0;
  long stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

TEST(FaultDescriptors, RunningOutOfDescriptorsDelaysClientsAndServingResumes) {
  Velweb server;
  WriteSite(server);
  ASSERT_TRUE(server.Start());
  ASSERT_EQ(server.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "a\r\n");
  // One post served and its connection drained first, as on any running server. (The
  // undefined-behaviour sanitizer checks an object's type the first time it meets it by
  // probing memory through a pipe; with no descriptor left that probe would fail and
  // report the first drained connection as a bad object.)
  ASSERT_EQ(server.Fetch(Post("message=m&receivers=R")), "<p>sent to</p>\r\n<b>R</b>\r\nend\r\n");
  std::this_thread::sleep_for(milliseconds(200));
  // A few descriptors to spare, then clients that post and stay connected: each leaves
  // the server draining its connection for two seconds. Their drains end a quarter of a
  // second apart, so the waiting client is taken in with the one descriptor the first
  // drain gives back, and its answer page needs one more.
  const auto spare = static_cast<rlim_t>(OpenDescriptors(server.pid()) + 4);
  const rlimit limit{spare, spare};
  ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
  std::vector<std::unique_ptr<Client>> lingering;
  bool exhausted = false;
  for (int i = 0; i < 12 && !exhausted; ++i) {
    lingering.push_back(std::make_unique<Client>(server.port()));
    ASSERT_TRUE(lingering.back()->Send(Post("message=m&receivers=R")));
    exhausted = !lingering.back()->Readable(milliseconds(500));
    if (!exhausted) std::this_thread::sleep_for(milliseconds(250));
  }
  ASSERT_TRUE(exhausted) << "the server never ran out of descriptors";

  // While it cannot take the waiting client it must not spin on it.
  const long before = CpuTicks(server.pid());
  std::this_thread::sleep_for(milliseconds(1000));
  const long ticks = CpuTicks(server.pid()) - before;
  EXPECT_LT(ticks, sysconf(_SC_CLK_TCK) / 4) << "CPU ticks used in one second while exhausted";

  // The drains end, descriptors come back: the waiting client and a new one are served.
  bool closed = false;
  const std::string waited = lingering.back()->ReadToEnd(milliseconds(8000), &closed);
  EXPECT_TRUE(closed);
  EXPECT_NE(waited.find("end"), std::string::npos) << waited;
  EXPECT_EQ(server.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "a\r\n");
  ExpectCleanStop(server);
}

// ---------------------------------------------------------------------------------------
// One address floods posts of 4,088 characters, each of which fills the command buffer by
// itself; with a send limit of 10 another address still gets every one of its ten
// messages of the minute through while velctl drains as the alarm server would. (The
// window that lets the next ten in is the ledger's, tested on its own clock.)

TEST(FaultLoad, AFloodFromOneAddressKeepsNoOtherAddressOut) {
  Velweb server;
  WriteSite(server);
  server.SetProfile(std::to_string(server.port()), "0", "[Access]\r\nSendLimit=10\r\n");
  ASSERT_TRUE(server.Start());
  Follower drain(server, "commands --follow --raw");
  ASSERT_TRUE(drain.started());
  const From flooder{"127.0.0.2"}, sender{"127.0.0.3"};
  const std::string flood = Post("message=" + std::string(4088, 'f') + "&receivers=F");
  std::atomic<int> floods{0};
  std::set<int> listed;  // the sender's messages whose reply lists their receiver
  {
    Crowd crowd([&](const std::atomic<bool>& stop) {
      // Hundreds a second; a breath between them leaves the machine to the other tests.
      do {
        server.Fetch(flooder, flood);
        ++floods;
      } while (Pause(stop, milliseconds(2)));
    });
    ASSERT_TRUE(WaitFor([&] { return floods > 100; })) << "no flood";
    for (int i = 0; i < 10; ++i) {
      const std::string reply =
          server.Fetch(sender, Post("message=m" + std::to_string(i) + "&receivers=S"));
      if (reply == "<p>sent to</p>\r\n<b>S</b>\r\nend\r\n") listed.insert(i);
      std::this_thread::sleep_for(milliseconds(300));
    }
  }
  const std::string mine = "FT:S\\xfem";
  auto taken = [&] {
    std::set<int> mineTaken;
    for (const std::string& line : drain.Lines()) {
      if (line.rfind(mine, 0) == 0) mineTaken.insert(std::stoi(line.substr(mine.size())));
    }
    return mineTaken;
  };
  EXPECT_EQ(listed.size(), 10u) << "a reply did not list the receiver";
  EXPECT_TRUE(WaitFor([&] { return taken() == listed; })) << taken().size() << " taken";
  int floodTaken = 0;
  for (const std::string& line : drain.Lines()) {
    if (line.rfind("FT:F\\xfe", 0) == 0) ++floodTaken;
  }
  EXPECT_LE(floodTaken, 10);  // ten a minute
  // The flood's log lines: its handed-over messages and their failures, and one line a
  // minute for the limit; not one per request.
  const std::string log = server.Log();
  size_t flooderLines = 0;
  for (size_t at = log.find("127.0.0.2\r\n"); at != std::string::npos;
       at = log.find("127.0.0.2\r\n", at + 1)) {
    ++flooderLines;
  }
  EXPECT_LE(flooderLines, 24u) << floods << " requests";
  ExpectCleanStop(server);
}

// ---------------------------------------------------------------------------------------
// The outbox: every message accepted reaches the taker, once, in fair order, over floods,
// a slow alarm server, kills at any point and a disk that refuses.

constexpr const char* kOutbox = "[Outbox]\r\nSize=10000\r\n";

std::string JsonPost(const std::string& receiver, const std::string& message) {
  const std::string body =
      "{\"receivers\": [\"" + receiver + "\"], \"message\": \"" + message + "\"}";
  return "POST / HTTP/1.0\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A JSON field's text: the number or the quoted text after "name": .
std::string JsonField(const std::string& json, const std::string& name) {
  const size_t at = json.find("\"" + name + "\": ");
  if (at == std::string::npos) return {};
  const size_t from = at + name.size() + 4;
  const size_t end = json.find_first_of(",}", from);
  std::string value = json.substr(from, end - from);
  if (!value.empty() && value.front() == '"') value = value.substr(1, value.size() - 2);
  return value;
}

// Milliseconds of the day of "YYYY-MM-DDTHH:MM:SS.mmmZ".
int64_t DayMs(const std::string& stamp) {
  if (stamp.size() < 23) return -1;
  return ((std::stoll(stamp.substr(11, 2)) * 60 + std::stoll(stamp.substr(14, 2))) * 60 +
          std::stoll(stamp.substr(17, 2))) *
             1000 +
         std::stoll(stamp.substr(20, 3));
}

// One client floods 4,088-character messages (each fills the buffer by itself) while a
// dispatcher posts every half second and the alarm server takes five entries a second:
// every one of the dispatcher's messages is taken, each within 2 s of its post.
TEST(FaultOutbox, AFloodFromOneClientDelaysOnlyItsOwnMessages) {
  Velweb server;
  WriteSite(server);
  server.SetProfile(std::to_string(server.port()), "0", kOutbox);
  ASSERT_TRUE(server.Start());
  Follower taker(server, "commands --follow --raw --every 200");
  ASSERT_TRUE(taker.started());
  const From flooder{"127.0.0.2"}, dispatcher{"127.0.0.3"};
  const std::string flood = Post("message=" + std::string(4088, 'f') + "&receivers=F");
  std::atomic<int> floods{0};
  std::vector<std::string> ids;
  {
    Crowd crowd([&](const std::atomic<bool>& stop) {
      do {
        server.Fetch(flooder, flood);
        ++floods;
      } while (Pause(stop, milliseconds(5)));
    });
    ASSERT_TRUE(WaitFor([&] { return floods > 50; })) << "no flood";
    for (int i = 0; i < 10; ++i) {
      const std::string reply = server.Fetch(dispatcher, JsonPost("S", "m" + std::to_string(i)));
      EXPECT_EQ(JsonField(reply, "sent"), "true") << reply;
      ids.push_back(JsonField(reply, "id"));
      std::this_thread::sleep_for(milliseconds(500));
    }
  }
  for (const std::string& id : ids) {
    std::string status;
    EXPECT_TRUE(WaitFor([&] {
      status = server.Fetch("GET /messages/" + id + " HTTP/1.0\r\n\r\n");
      return JsonField(status, "state") == "taken";
    })) << status;
    const int64_t waited = DayMs(JsonField(status, "taken")) - DayMs(JsonField(status, "accepted"));
    EXPECT_GE(waited, 0) << status;
    EXPECT_LE(waited, 2000) << status;
  }
  ExpectCleanStop(server);
}

// 300 posts from three clients while nothing takes; a taker starts: all 300 are taken,
// each once, each client's in their order.
TEST(FaultOutbox, PostsWhileNothingTakesAreAllTakenOnceInOrderPerClient) {
  Velweb server;
  WriteSite(server);
  server.SetProfile(std::to_string(server.port()), "0", kOutbox);
  ASSERT_TRUE(server.Start());
  std::vector<std::thread> clients;
  std::atomic<int> sent{0};
  for (int c = 0; c < 3; ++c) {
    clients.emplace_back([&, c] {
      const From from{"127.0.0." + std::to_string(c + 2)};
      for (int i = 0; i < 100; ++i) {
        const std::string body =
            "message=c" + std::to_string(c) + "-" + std::to_string(i) + "&receivers=A";
        if (server.Fetch(from, Post(body)) == "<p>sent to</p>\r\n<b>A</b>\r\nend\r\n") ++sent;
      }
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(sent, 300);
  Follower taker(server, "commands --follow --raw");
  ASSERT_TRUE(WaitFor([&] { return taker.Lines().size() >= 300; })) << taker.Lines().size();
  std::map<int, int> next;  // per client, the number its next message must have
  std::set<std::string> seen;
  for (const std::string& line : taker.Lines()) {
    EXPECT_TRUE(seen.insert(line).second) << "taken twice: " << line;
    const std::regex entry("FT:A\\\\xfec(\\d)-(\\d+)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, entry)) << line;
    EXPECT_EQ(std::stoi(m[2]), next[std::stoi(m[1])]++) << line;
  }
  ExpectCleanStop(server);
}

// Killed at each point of a message's way while another program keeps the region
// alive: after the next start the taker gets the message once (also one that was never
// answered), and only a pass whose storing the region lost is a pass again.
TEST(FaultOutbox, AKillAtAnyPointLosesNothingAndRepeatsNothingTheRegionHolds) {
  for (const std::string point : {"append", "sync", "record-pass", "pass"}) {
    SCOPED_TRACE(point);
    Velweb server;
    WriteSite(server);
    server.SetProfile(std::to_string(server.port()), "0", kOutbox);
    ASSERT_TRUE(server.Start({{"VELWEB_TEST_KILL_AT", point}}));
    Follower keeper(server, "syslog --follow");
    ASSERT_TRUE(WaitFor([&] { return !keeper.Lines().empty(); }));
    server.Fetch(Post("message=m1&receivers=A"));
    EXPECT_EQ(server.WaitExit(), 128 + SIGKILL);
    ASSERT_TRUE(server.Start());
    std::string taken;
    EXPECT_TRUE(WaitFor([&] {
      taken += server.Velctl("commands --raw");
      return !taken.empty();
    }));
    std::this_thread::sleep_for(milliseconds(300));  // a repeat would have come by now
    taken += server.Velctl("commands --raw");
    EXPECT_EQ(taken, "FT:A\\xfem1\n");
    const bool again = point == "record-pass";
    EXPECT_EQ(server.Log().find("passes 1 message again") != std::string::npos, again)
        << server.Log();
    ExpectCleanStop(server);
  }
}

// Expiry, a full outbox and a damaged tail, as the site sees them.
TEST(FaultOutbox, ExpiryAFullOutboxAndADamagedJournal) {
  Velweb server;
  WriteSite(server);
  server.SetProfile(std::to_string(server.port()), "1",
                    "[Outbox]\r\nSize=2\r\nExpireSeconds=1\r\n");
  ASSERT_TRUE(server.Start());
  // The first fills the buffer by itself; the second waits behind it; a third finds the
  // outbox full.
  const std::string big = std::string(4087, 'b');  // with "1": the longest entry
  EXPECT_EQ(JsonField(server.Fetch(JsonPost("B", big + "1")), "state").empty(), false);
  const std::string second = server.Fetch(JsonPost("B", "second"));
  const std::string id = JsonField(second, "id");
  EXPECT_EQ(JsonField(second, "state"), "queued") << second;
  const std::string full = server.Fetch(JsonPost("B", "third"));
  EXPECT_NE(full.find("HTTP/1.0 503"), std::string::npos) << full;
  EXPECT_NE(full.find("Retry-After: "), std::string::npos) << full;
  EXPECT_NE(full.find("the outbox is full"), std::string::npos) << full;
  EXPECT_TRUE(server.LogShows(
      "Velmar Web Server's outbox is full ([Outbox] Size=2 messages not taken yet)"));
  EXPECT_TRUE(server.LogShows("dropped message " + id + " from 127.0.0.1 after 1 s"))
      << server.Log();
  EXPECT_NE(server.Fetch("GET /messages/" + id + " HTTP/1.0\r\n\r\n").find("\"expired\""),
            std::string::npos);
  ExpectCleanStop(server);
  // A write cut short: the whole records before it stand.
  std::ofstream(server.dir() / "vel_outbox.dat", std::ios::app | std::ios::binary)
      << "\x01\x02\x03";
  ASSERT_TRUE(server.Start());
  EXPECT_TRUE(server.LogShows("Velmar Web Server cut vel_outbox.dat after byte")) << server.Log();
  std::string taken;
  EXPECT_TRUE(WaitFor([&] {
    taken += server.Velctl("commands --raw");
    return !taken.empty();
  }));
  EXPECT_EQ(taken, "FT:B\\xfe" + big + "1\n") << "the stop kept it, the start passed it";
  EXPECT_EQ(ModeOf((server.dir() / "vel_outbox.dat").string()) & 0777, 0640u);
  ExpectCleanStop(server);
}

// A disk that refuses the outbox's writes: posts are refused (503, Retry-After, "[Not
// Sent]"), nothing is accepted, it is said once; with room again, posts are accepted.
TEST(FaultOutbox, AFullDiskRefusesPostsHonestlyUntilThereIsRoom) {
  const SmallDisk disk;
  if (!disk.why.empty()) GTEST_SKIP() << disk.why;
  const fs::path& mountPoint = disk.path;
  {
    Velweb server(mountPoint);
    WriteSite(server);
    server.SetProfile(std::to_string(server.port()), "1", kOutbox);
    ASSERT_TRUE(server.Start());
    {
      std::ofstream filler(mountPoint / "filler", std::ios::binary);
      const std::string block(4096, 'f');
      while (filler.write(block.data(), block.size())) {
      }
    }
    const std::string refused =
        server.Fetch(Post("message=" + std::string(3000, 'r') + "&receivers=A"));
    EXPECT_NE(refused.find("HTTP/1.0 503"), std::string::npos) << refused;
    EXPECT_NE(refused.find("Retry-After: "), std::string::npos) << refused;
    EXPECT_NE(refused.find("[Not Sent]"), std::string::npos) << refused;
    fs::remove(mountPoint / "filler");
    const std::string accepted = server.Fetch(Post("message=room&receivers=A"));
    EXPECT_NE(accepted.find("<b>A</b>"), std::string::npos) << accepted;
    EXPECT_EQ(server.Velctl("commands --raw"), "FT:A\\xferoom\n");
    const std::string warning =
        "could not keep messages in vel_outbox.dat: No space left on device";
    EXPECT_TRUE(server.LogShows(warning) || server.Err().find(warning) != std::string::npos)
        << server.Err();
    ExpectCleanStop(server);
  }
}

}  // namespace
}  // namespace veltest
