// What an admin runs the real velweb with: the alarm server's stall watch, /metrics and
// /health, systemd's notifications, the listening address and the pruning of old logs.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/un.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "http_text.h"
#include "velweb_process.h"

namespace veltest {
namespace {

// The profile with lines added to its sections [General] and [TCPIP], and more sections.
void SetProfile(Velweb& server, const std::string& headers, const std::string& general,
                const std::string& tcpip = "", const std::string& more = "") {
  server.Put("VELWEB.INI", "[General]\r\nLanguage=001\r\n" + general +
                               "[TCPIP]\r\nHTTPPort=" + std::to_string(server.port()) + "\r\n" +
                               tcpip + "[HTTP]\r\nHeaders=" + headers + "\r\n" + more);
}

std::string Post(const Velweb& server, const std::string& body, bool json) {
  return server.Fetch(PostRequest(body, json ? "Content-Type: application/json\r\n" : ""));
}

std::string Get(const Velweb& server, const std::string& path, const From& from = {}) {
  return server.Fetch(from, "GET " + path + " HTTP/1.0\r\n\r\n");
}

// The samples of a Prometheus text answer, by name and labels; every line must be a
// comment (HELP or TYPE) or a sample, and every sample's family must have its TYPE.
std::map<std::string, double> Samples(const std::string& answer) {
  std::map<std::string, double> samples;
  std::set<std::string> typed;
  const size_t body = answer.find("\r\n\r\n");
  EXPECT_NE(body, std::string::npos);
  EXPECT_NE(answer.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
  std::istringstream lines(answer.substr(body + 4));
  const std::regex comment(R"(# (HELP|TYPE) ([a-z_]+) (.+))");
  const std::regex sample(R"(([a-z_]+)(\{[a-z_]+="[^"\\]*"\})? ([0-9.eE+-]+))");
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_match(line, m, comment)) {
      if (m[1] == "TYPE") {
        EXPECT_TRUE(m[3] == "counter" || m[3] == "gauge" || m[3] == "histogram") << line;
        typed.insert(m[2]);
      }
    } else if (std::regex_match(line, m, sample)) {
      const std::string family =
          std::regex_replace(m[1].str(), std::regex("_(bucket|sum|count)$"), "");
      EXPECT_TRUE(typed.count(m[1]) || typed.count(family)) << "no TYPE before " << line;
      samples[m[1].str() + m[2].str()] = std::stod(m[3]);
    } else {
      ADD_FAILURE() << "not the Prometheus text format: " << line;
    }
  }
  return samples;
}

// Prometheus's own check of a /metrics answer.
void ExpectPromtoolFindsNothing(const Velweb& server, const std::string& metrics) {
  if (CommandOutput("command -v promtool").empty()) {
    ADD_FAILURE() << "promtool is not installed (bash scripts/setup.sh installs it)";
    return;
  }
  WriteFile(server.dir() / "metrics.txt", Body(metrics));
  int status = -1;
  const std::string said = CommandOutput(
      "promtool check metrics < '" + (server.dir() / "metrics.txt").string() + "' 2>&1", &status);
  EXPECT_EQ(status, 0) << said;
  EXPECT_EQ(said, "") << said;
}

// With an outbox, what waits in it is said by /metrics, /health (failing once the oldest
// has waited past StallSeconds), velctl status and each message's own answer.
TEST(ServerOperations, TheOutboxIsShownToMonitoringAndToEachSender) {
  Velweb server;
  SetProfile(server, "1", "StallSeconds=1\r\n", "", "[Outbox]\r\nSize=100\r\n");
  ASSERT_TRUE(server.Start()) << server.Err();
  const std::string fills = R"({"receivers": ["A"], "message": ")" + std::string(4088, 'f') + "\"}";
  EXPECT_NE(Post(server, fills, true).find(R"("sent": true)"), std::string::npos);
  const std::string waits = Post(server, R"({"receivers": ["A"], "message": "waits"})", true);
  EXPECT_NE(waits.find(R"("state": "queued")"), std::string::npos) << waits;
  const std::string id = waits.substr(waits.find(R"("id": )") + 6, 16);
  std::string health;
  ASSERT_TRUE(WaitFor([&] {
    health = Get(server, "/health");
    return health.find(R"("oldestSeconds": 1)") != std::string::npos;
  })) << health;
  EXPECT_NE(health.find("HTTP/1.0 503"), std::string::npos) << health;
  EXPECT_NE(health.find(R"("outbox": {"queued": 1, "passed": 1, )"), std::string::npos) << health;
  const std::string metrics = Get(server, "/metrics");
  const std::map<std::string, double> samples = Samples(metrics);
  EXPECT_EQ(samples.at("velweb_outbox_messages{state=\"queued\"}"), 1);
  EXPECT_EQ(samples.at("velweb_outbox_messages{state=\"passed\"}"), 1);
  EXPECT_EQ(samples.at("velweb_outbox_accepted_total"), 2);
  EXPECT_GE(samples.at("velweb_outbox_oldest_seconds"), 1);
  ExpectPromtoolFindsNothing(server, metrics);
  EXPECT_TRUE(std::regex_search(server.Velctl("status"),
                                std::regex("outbox: 1 queued, 1 passed to the alarm server and not "
                                           "taken yet; the oldest waits [0-9]+ s\n")));
  // Taken: both, in their order; the message says when.
  std::string taken;
  ASSERT_TRUE(WaitFor([&] {
    taken += server.Velctl("commands --raw");
    return std::count(taken.begin(), taken.end(), '\n') == 2;
  })) << taken;
  std::string message;
  ASSERT_TRUE(WaitFor([&] {
    message = Get(server, "/messages/" + id);
    return message.find(R"("state": "taken")") != std::string::npos;
  })) << message;
  EXPECT_TRUE(std::regex_search(
      message,
      std::regex(
          R"("receivers": \["A"\], "accepted": "20\d\d-\d\d-\d\dT[0-9:.]+Z", "passed": "[^"]+", "taken": "[^"]+", "expired": null)")))
      << message;
  ASSERT_TRUE(
      WaitFor([&] { return Get(server, "/health").find("HTTP/1.0 200") != std::string::npos; }));
  EXPECT_EQ(Samples(Get(server, "/metrics")).at("velweb_outbox_taken_seconds_count"), 2);
  EXPECT_NE(Get(server, "/messages/123").find("HTTP/1.0 404"), std::string::npos);
}

TEST(ServerOperations, AnAlarmServerThatTakesNothingIsSaidEverywhereAndSoIsItsReturn) {
  Velweb server;
  server.Put("Send.Htm", "<b>[SUBMITTEDONES]</b>\r\n<p>[WAITING]</p>\r\n");
  SetProfile(server, "0", "StallSeconds=1\r\n");
  ASSERT_TRUE(server.Start()) << server.Err();
  const std::string message = R"({"receivers": ["A"], "message": "one"})";
  const std::string first = Post(server, message, true);
  EXPECT_NE(first.find(R"("waiting": 1, "alarmServerTaking": true})"), std::string::npos) << first;
  // Nobody has taken anything, and nobody else is attached: no alarm server is claimed.
  const std::string unseen = Get(server, "/health");
  EXPECT_NE(unseen.find("HTTP/1.0 503 Service Unavailable"), std::string::npos) << unseen;
  EXPECT_NE(unseen.find(R"("status": "no_alarm_server")"), std::string::npos) << unseen;
  EXPECT_NE(server.Velctl("status").find("alarm server: no alarm server seen"), std::string::npos);

  // Nobody takes it: after a second, one line in the log and on the console.
  const std::string begins = "The alarm server has taken no message for ";
  ASSERT_TRUE(server.LogShows(begins)) << server.Log();
  EXPECT_NE(server.Err().find(begins), std::string::npos) << server.Err();
  const std::string second = Post(server, message, true);
  EXPECT_NE(second.find(R"("waiting": 2, "alarmServerTaking": false})"), std::string::npos)
      << second;
  const std::string page = Post(server, "message=three&receivers=A", false);
  EXPECT_NE(page.find("<b>A</b>\r\n<p>" + begins), std::string::npos) << page;
  EXPECT_NE(page.find(" s: your message waits in its buffer (3 wait)"), std::string::npos) << page;
  const std::string health = Get(server, "/health");
  EXPECT_NE(health.find("HTTP/1.0 503 Service Unavailable"), std::string::npos) << health;
  EXPECT_NE(health.find(R"("alarmServerTaking": false, "waiting": 3)"), std::string::npos)
      << health;
  const std::string status = server.Velctl("status");
  EXPECT_NE(status.find("commands: 3 pending"), std::string::npos) << status;
  EXPECT_TRUE(std::regex_search(status, std::regex("alarm server: has taken no message for [0-9]+ "
                                                   "s; 3 waiting \\(velweb at 127.0.0.1:")))
      << status;

  // Taken: the end is said once, and the answers are as before.
  const std::string taken = server.Velctl("commands");
  EXPECT_EQ(std::count(taken.begin(), taken.end(), '\n'), 3) << taken;
  const std::string ends = "The alarm server takes messages again after ";
  ASSERT_TRUE(server.LogShows(ends)) << server.Log();
  EXPECT_NE(server.Err().find(ends), std::string::npos) << server.Err();
  EXPECT_EQ(Post(server, "message=four&receivers=A", false), "<b>A</b>\r\n<p></p>\r\n");
  EXPECT_NE(Get(server, "/health").find("HTTP/1.0 200 OK"), std::string::npos);
  const std::string log = server.Log();
  EXPECT_EQ(log.find(begins), log.rfind(begins)) << log;
}

TEST(ServerOperations, MetricsAndHealthAreForTheStatusAddressesAndNeverCountAsPages) {
  Velweb server;
  server.SetProfile(std::to_string(server.port()), "0");
  ASSERT_TRUE(server.Start());
  std::map<std::string, double> before = Samples(Get(server, "/metrics"));
  EXPECT_EQ(before["velweb_messages_waiting"], 0);
  EXPECT_EQ(before.at("velweb_alarm_server_taking"), 0);  // none seen yet
  EXPECT_EQ(before.at("velweb_alarm_server_seen"), 0);
  EXPECT_EQ(before["velweb_connections_open"], 1);  // the one asking
  // Every reason and the common statuses from the first scrape, so increase() sees the
  // first burst.
  for (const char* series :
       {"velweb_refusals_total{reason=\"too_long\"}",
        "velweb_refusals_total{reason=\"cross_site\"}", "velweb_requests_total{status=\"503\"}"}) {
    EXPECT_EQ(before.count(series), 1u) << series;
  }
  Get(server, "/INDEX.HTM");
  Post(server, "message=hi&receivers=A", false);
  Post(server, "message=&receivers=A", false);
  Get(server, "/missing.htm");
  server.Fetch("GET /a.htm HTTP/1.0\r\nX: " + std::string(70000, 'x') + "\r\n\r\n");
  const std::string metrics = Get(server, "/metrics");
  const std::map<std::string, double> after = Samples(metrics);
  EXPECT_EQ(after.at("velweb_refusals_total{reason=\"too_long\"}"), 1);
  ExpectPromtoolFindsNothing(server, metrics);
  EXPECT_EQ(after.at("velweb_requests_total{status=\"200\"}") -
                before["velweb_requests_total{status=\"200\"}"],
            2);
  EXPECT_EQ(after.at("velweb_requests_total{status=\"404\"}"), 1);
  EXPECT_EQ(
      after.at("velweb_messages_handed_over_total") - before["velweb_messages_handed_over_total"],
      1);
  EXPECT_EQ(after.at("velweb_refusals_total{reason=\"bad_request\"}"), 1);
  EXPECT_EQ(after.at("velweb_messages_waiting"), 1);
  EXPECT_EQ(after.at("velweb_served_requests_total"), 4);
  const std::string health = Get(server, "/health", From{"::1"});
  EXPECT_NE(health.find("HTTP/1.0 503 Service Unavailable\r\nContent-Type: application/json"),
            std::string::npos)
      << health;
  EXPECT_NE(health.find(R"("libraryLoaded": true, "regionJoined": true)"), std::string::npos);
  EXPECT_EQ(Get(server, "/metrics", From{"127.0.0.2"}).substr(0, 22), "HTTP/1.0 403 Forbidden");
  EXPECT_EQ(server.Stop(SIGTERM), 0);
  EXPECT_EQ(server.Served(), 4);  // the status requests are not among them

  // Another address list; and an empty one turns both off: they are unknown pages then.
  server.SetProfile(std::to_string(server.port()), "0", "[Status]\r\nFrom=127.0.0.2\r\n");
  ASSERT_TRUE(server.Start());
  EXPECT_EQ(Get(server, "/health").substr(0, 22), "HTTP/1.0 403 Forbidden");
  EXPECT_EQ(Get(server, "/health", From{"127.0.0.2"}).substr(0, 12), "HTTP/1.0 503");
  EXPECT_EQ(server.Stop(SIGTERM), 0);
  server.SetProfile(std::to_string(server.port()), "1", "[Status]\r\nFrom=\r\n");
  ASSERT_TRUE(server.Start());
  EXPECT_EQ(Get(server, "/metrics").substr(0, 22), "HTTP/1.0 404 Not Found");
  // Without the library nothing can be handed over: not healthy.
  EXPECT_EQ(server.Stop(SIGTERM), 0);
  server.SetProfile(std::to_string(server.port()), "0");
  fs::remove(server.dir() / "libVelmar.so");
  ASSERT_TRUE(server.Start({}, false));  // no log without the library: started is not logged
  ASSERT_TRUE(WaitFor([&] { return server.Out().find("Initialized Ok") != std::string::npos; }));
  const std::string failing = Get(server, "/health");
  EXPECT_NE(failing.find("HTTP/1.0 503"), std::string::npos) << failing;
  EXPECT_NE(failing.find(R"("libraryLoaded": false)"), std::string::npos) << failing;
}

// A datagram socket standing in for systemd's NOTIFY_SOCKET.
class NotifySocket {
 public:
  NotifySocket() : path_(dir_.File("notify")) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~NotifySocket() { close(fd_); }
  const std::string& path() const { return path_; }
  // The next datagram that begins with `prefix`, or "" when none comes in time.
  std::string Next(const std::string& prefix) {
    const auto end = Clock::now() + milliseconds(8000);
    while (Clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buffer[512];
      const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
      if (got > 0 && std::string(buffer, got).rfind(prefix, 0) == 0) return {buffer, size_t(got)};
    }
    return {};
  }

 private:
  TempDir dir_;
  std::string path_;
  int fd_ = -1;
};

TEST(ServerOperations, SystemdHearsReadyStatusTheWatchdogAndStopping) {
  Velweb server;
  NotifySocket notify;
  ASSERT_TRUE(server.Start({{"NOTIFY_SOCKET", notify.path()}, {"WATCHDOG_USEC", "200000"}}));
  EXPECT_EQ(notify.Next("READY=1"), "READY=1");
  Get(server, "/INDEX.HTM");
  EXPECT_EQ(notify.Next("STATUS=Served requests: 1"),
            "STATUS=Served requests: 1; 0 messages waiting; no alarm server seen");
  // Fed every 100 ms from the event loop: several within a second.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(notify.Next("WATCHDOG=1"), "WATCHDOG=1") << i;
  kill(server.pid(), SIGTERM);
  EXPECT_EQ(notify.Next("STOPPING=1"), "STOPPING=1");
  EXPECT_EQ(server.WaitExit(), 0);
}

TEST(ServerOperations, ListenAddressBindsOneAddressAndMustBeOne) {
  Velweb server;
  for (const auto& [address, refusal] : std::map<std::string, std::string>{
           {"nowhere", "[TCPIP] ListenAddress=nowhere in VELWEB.INI is no IPv4 or IPv6 address"},
           {"192.0.2.1",  // no address of this machine
            "on 192.0.2.1 ([TCPIP] ListenAddress), which must be an address of this machine"}}) {
    SetProfile(server, "0", "", "ListenAddress=" + address + "\r\n");
    ASSERT_TRUE(server.Start({}, false));
    EXPECT_EQ(server.WaitExit(), 1);
    EXPECT_NE(server.Err().find(refusal), std::string::npos) << server.Err();
  }

  SetProfile(server, "0", "", "ListenAddress=127.0.0.1\r\n");
  ASSERT_TRUE(server.Start()) << server.Err();
  auto connects = [&](const char* address) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(server.port()));
    inet_pton(AF_INET, address, &to.sin_addr);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    close(fd);
    return connected;
  };
  EXPECT_TRUE(connects("127.0.0.1"));
  EXPECT_FALSE(connects("127.0.0.2"));  // another address of this machine
}

TEST(ServerOperations, DailyLogsOlderThanLogDaysGoAndNothingElse) {
  Velweb server;
  for (const char* name : {"20000101.LOG", "20000102.LOG", "NOTES.LOG", "20000103.log",
                           "2000010A.LOG", "20000230.LOG"})
    server.Put(name, "x\r\n");
  fs::create_directory(server.dir() / "19990101.LOG");
  SetProfile(server, "0", "LogDays=90\r\n");
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(WaitFor([&] { return !fs::exists(server.dir() / "20000102.LOG"); }));
  EXPECT_FALSE(fs::exists(server.dir() / "20000101.LOG"));
  for (const char* kept :
       {"NOTES.LOG", "20000103.log", "2000010A.LOG", "20000230.LOG", "19990101.LOG"})
    EXPECT_TRUE(fs::exists(server.dir() / kept)) << kept;
  EXPECT_TRUE(server.LogShows("Velmar Web Server removed 2 daily logs older than 90 days"))
      << server.Log();
}

}  // namespace
}  // namespace veltest

namespace veltest {
namespace {

// Files of another account in a directory the server shares (sticky, as the package makes
// it): a daily log that LogDays may not remove is named with the reason, a day's log the
// server cannot write is named with its owner and the remedy; and root starting in such a
// directory is warned that what it writes becomes root's.
TEST(ServerOperations, FilesOfAnotherAccountAreNamedWithTheirOwnerAndWhy) {
  if (geteuid() != 0) GTEST_SKIP() << "giving files to another account needs root";
  Velweb server;
  SetProfile(server, "0", "LogDays=90\r\n");
  server.Put("20000101.LOG", "x\r\n");
  server.Put(Velweb::Today() + ".LOG", "x\r\n");
  fs::permissions(server.LogPath(), fs::perms::owner_read | fs::perms::group_read);
  fs::permissions(server.dir(), fs::perms::all | fs::perms::sticky_bit);
  ASSERT_TRUE(server.Start({{"VELWEB_TEST_AS_NOBODY", "1"}}, false));
  const std::string removal =
      "Velmar Web Server could not remove the daily log 20000101.LOG (older than 90 days): "
      "Operation not permitted";
  ASSERT_TRUE(WaitFor(
      [&] { return server.Err().find(removal) != std::string::npos || !server.Running(); }));
  if (!server.Running() && server.WaitExit() == 126) GTEST_SKIP() << "no change of account";
  EXPECT_TRUE(fs::exists(server.dir() / "20000101.LOG"));
  EXPECT_NE(server.Err().find("the log file " + server.LogPath().string() +
                              " could not be written: Permission denied; it belongs to root, "
                              "not to nobody, which runs the server: give it back (chown nobody "),
            std::string::npos)
      << server.Err();
  EXPECT_EQ(server.Stop(SIGTERM), 0);

  ASSERT_EQ(chown(server.dir().c_str(), 0, 65534), 0);
  ASSERT_TRUE(server.Start()) << server.Err();
  EXPECT_NE(server.Err().find("Warning: velweb runs as root in " + server.dir().string() +
                              "/, which belongs to the group "),
            std::string::npos)
      << server.Err();
  EXPECT_EQ(server.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace veltest
