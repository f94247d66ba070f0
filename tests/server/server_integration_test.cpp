// The real velweb, started headless in a program directory of its own, over real TCP.
#include <gtest/gtest.h>
#include <pty.h>

#include <fstream>
#include <iterator>
#include <numeric>
#include <regex>

#include "http_text.h"
#include "profile_keys.h"
#include "velweb_process.h"

namespace veltest {
namespace {

const std::string kNotFound =
    "<html>\r\n<head>\r\n<meta http-equiv=\"Content-Type & chr$(34)\r\n"
    "content=\"text/html; charset=iso-8859-1\">\r\n<title>Server Error 404</title>\r\n"
    "</head>\r\n<body bgcolor=\"#C0C0C0\" text=\"#000000\">\r\n<h1>Server Error 404</h1>\r\n"
    "<hr>\r\n<p>File Not Found</p>\r\n<hr>\r\n</body>\r\n</html>\r\n";

std::string Gif(size_t size) {
  std::string bytes = "GIF89a";
  for (size_t i = bytes.size(); i < size; ++i) bytes += static_cast<char>((i * 7) % 256);
  return bytes.substr(0, size);
}

// Byte-for-byte equality that shows where two answers part, not the whole of them.
::testing::AssertionResult Same(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure()
         << "sizes " << actual.size() << " and " << expected.size() << ", first difference at "
         << at << ": got \"" << actual.substr(at, 60) << "\" expected \"" << expected.substr(at, 60)
         << "\"";
}

std::string MachineName() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

// Pages in the mixed case they might have on disk; the server upper-cases every name.
void WriteSite(Velweb& server) {
  server.Put("index.htm", "<p>index [VERSION]</p>\r\n<li>[RECEIVERS]</li>\r\n");
  server.Put("Send.Htm", "<p>sent to</p>\r\n<b>[SUBMITTEDONES]</b>\r\nend");
  server.Put("PAGE.HTM", "page\r\n");
  server.Put("Logo.Gif", Gif(25000));
  server.Put("NOTES.TXT", "notes\r\n");
  server.Put("A.HTM", "a\r\n");
}

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteSite(server_); }
  Velweb server_;
};

TEST_F(ServerTest, RequestTableByteForByte) {
  // Links: one that stays in the program directory is followed, one out of it is not.
  fs::create_symlink("A.HTM", server_.dir() / "INSIDE.HTM");
  fs::create_symlink("/etc/passwd", server_.dir() / "LINK.HTM");
  fs::create_symlink("/etc/hostname", server_.dir() / "OUT.GIF");
  ASSERT_TRUE(server_.Start()) << server_.Err();
  const std::string index = "<p>index 1.0.00</p>\r\n";
  const std::string sendGet = "<p>sent to</p>\r\n<b>[No Receivers]</b>\r\nend\r\n";
  struct Case {
    std::string request;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {"GET / HTTP/1.0\r\n\r\n", index},
      {"get /index.htm HTTP/1.1\r\nHost: x\r\n\r\n", index},
      {"GET /logo.gif HTTP/1.0\r\n\r\n", Gif(25000)},
      {"GET /send HTTP/1.0\r\n\r\n", sendGet},
      {"GET /page.html HTTP/1.0\r\n\r\n", "page\r\n"},
      {"GET /docs/a.htm HTTP/1.0\r\n\r\n", kNotFound},
      {"GET /notes.txt HTTP/1.0\r\n\r\n", kNotFound},
      {"HEAD / HTTP/1.0\r\n\r\n", kNotFound},
      {"POST /send.htm HTTP/1.0\r\nContent-Length: 0\r\n\r\n", sendGet},
      {"GET /A.HTM?X=1 HTTP/1.0\r\n\r\n", "a\r\n"},
      {"GET /A.B.HTM HTTP/1.0\r\n\r\n", kNotFound},
      {"GET\r\n\r\n", index},
      // Lines that end in LF alone; a request line without a version, answered at once.
      {"GET /INDEX.HTM HTTP/1.0\n\n", index},
      {"GET /A.HTM\r\n", "a\r\n"},
      {"GET /missing.gif HTTP/1.0\r\n\r\n", kNotFound},
      {"GET /velweb.ini HTTP/1.0\r\n\r\n", kNotFound},
      // Nothing outside the program directory, and no wildcards.
      {"GET /..\\..\\etc\\passwd HTTP/1.0\r\n\r\n", kNotFound},
      {"GET /\\etc\\hostname.htm HTTP/1.0\r\n\r\n", kNotFound},
      {"GET /*.HTM HTTP/1.0\r\n\r\n", kNotFound},
      {"GET /INDE?.HTM HTTP/1.0\r\n\r\n", kNotFound},
      {std::string("GET /index\0.htm HTTP/1.0\r\n\r\n", 29), kNotFound},
      {"GET /inside.htm HTTP/1.0\r\n\r\n", "a\r\n"},
      {"GET /link.htm HTTP/1.0\r\n\r\n", kNotFound},
      {"GET /out.gif HTTP/1.0\r\n\r\n", kNotFound},
  };
  for (const Case& c : cases) EXPECT_TRUE(Same(server_.Fetch(c.request), c.answer)) << c.request;
  // Nothing per request where no terminal watches; the count comes with the stop.
  EXPECT_EQ(server_.Out().find("Served requests"), std::string::npos) << server_.Out();
  EXPECT_EQ(server_.Stop(SIGTERM), 0);
  EXPECT_EQ(server_.Served(), static_cast<int>(cases.size())) << server_.Out();
  EXPECT_NE(server_.Out().find("Velmar Web Server stopped: shut down by the system (SIGTERM). "
                               "Served requests: " +
                               std::to_string(cases.size()) + "\n"),
            std::string::npos)
      << server_.Out();
}

TEST_F(ServerTest, PostedMessageBecomesOneCommandEntryAndIsLogged) {
  ASSERT_TRUE(server_.Start());
  const std::string body = "message=Fire+in+hall+3&receivers=GROUP1&receivers=JOHN";
  // A trailing CR LF after the declared body, and a second request on the same
  // connection, change nothing: one answer, one command, a clean message.
  const std::string request = PostRequest(body) + "\r\n";
  Client client(server_.port());
  ASSERT_TRUE(client.Send(request + request));
  EXPECT_EQ(client.ReadToEnd(), "<p>sent to</p>\r\n<b>GROUP1</b>\r\n<b>JOHN</b>\r\nend\r\n");
  EXPECT_EQ(server_.Velctl("commands --raw"), "FT:GROUP1\\xfeJOHN\\xfeFire in hall 3\n");
  EXPECT_NE(server_.Log().find(" WEB Received HTTP message request from 127.0.0.1\r\n"),
            std::string::npos)
      << server_.Log();

  const std::string bad = "receivers=&receivers=B&message=x";
  EXPECT_EQ(server_.Fetch(PostRequest(bad)), "<p>sent to</p>\r\n<b>[No Receivers]</b>\r\nend\r\n");
  // Logged from the exchange thread: the answer may come first.
  EXPECT_TRUE(server_.LogShows(" WEB Received bad HTTP message request from 127.0.0.1\r\n"));
  EXPECT_EQ(server_.Velctl("commands --raw"), "");
}

TEST_F(ServerTest, AMessageIsHandedOverAsTypedOrNotAtAll) {
  ASSERT_TRUE(server_.Start());
  const std::string typed = "message=Gas+leak+at+school&receivers=Fire+Brigade";
  auto post = [](const std::string& head, const std::string& body) {
    return PostRequest(body, head);
  };
  const std::string sent = "<p>sent to</p>\r\n<b>Fire Brigade</b>\r\nend\r\n";
  const std::string notSent = "<p>sent to</p>\r\n<b>[Not Sent]</b>\r\nend\r\n";
  const struct {
    std::string request;
    std::string answer;   // empty: the connection is cut
    std::string command;  // as velctl shows it; empty: nothing handed over
  } cases[] = {
      // Header lines never give a field, whatever a browser's cookies hold.
      {post("Cookie: message=hello\r\n", typed), sent, "FT:Fire Brigade\\xfeGas leak at school"},
      {post("Cookie: receivers=x\r\n", typed), sent, "FT:Fire Brigade\\xfeGas leak at school"},
      // Fields in the URL alone: the query, without the version and the header lines.
      {"POST /send.htm?receivers=Fire+Brigade&message=q HTTP/1.0\r\nCookie: message=c\r\n\r\n",
       sent, "FT:Fire Brigade\\xfeq"},
      // 0xFE would make the alarm side read other receivers and another message.
      {post("", "message=Fire+at+%FEingholt+farm&receivers=Fire+Brigade"), notSent, ""},
      {post("", "message=m&receivers=Fire+Brigade&receivers=a%FEb"), notSent, ""},
      // A length that wraps round, one that is no number, a header block past the bound.
      {"POST /send.htm HTTP/1.0\r\nContent-Length: 18446744073709551667\r\n\r\n" +
           typed.substr(0, 51),
       "", ""},
      {"POST /send.htm HTTP/1.0\r\nContent-Length: 49x\r\n\r\n" + typed, "", ""},
      {post("X-Filler: " + std::string(100 * 1024, 'f') + "\r\n", typed), "", ""},
  };
  std::string commands;
  for (const auto& c : cases) {
    EXPECT_EQ(server_.Fetch(c.request), c.answer) << c.request.substr(0, 80);
    if (!c.command.empty()) commands += c.command + "\n";
  }
  EXPECT_EQ(server_.Velctl("commands --raw"), commands);
  const std::string log = server_.Log();
  // Two not passed from one client in a minute: one line, the other coalesced.
  EXPECT_EQ(CountOf(log, "WEB Could not pass HTTP message request from 127.0.0.1\r\n"), 1u) << log;
}

// With status lines, every answer says what became of the request, and whether a
// retry can help; nothing is handed over that differs from what was sent.
TEST_F(ServerTest, EveryRequestGetsAnHonestAnswer) {
  server_.SetProfile(std::to_string(server_.port()), "1", "Hosts=x, alarm.example.org\r\n");
  ASSERT_TRUE(server_.Start());
  auto post = [](const std::string& head, const std::string& body) {
    return "POST /send.htm HTTP/1.1\r\nHost: x\r\n" + head +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  const std::string json = "Content-Type: application/json\r\n";
  const std::string form = "message=" + std::string(5000, 'm') + "&receivers=A";
  const std::string jsonLong =
      "{\"receivers\": [\"A\"], \"message\": \"" + std::string(5000, 'm') + "\"}";
  const std::string nearlyFull = "message=" + std::string(4000, 'f') + "&receivers=F";
  const std::string head200 =
      "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=windows-1252\r\n"
      "Content-Length: 21\r\nX-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n"
      "Content-Security-Policy: frame-ancestors 'none'\r\nConnection: close\r\n\r\n";
  const struct {
    std::string request;
    std::string status;   // the status line's code and phrase
    std::string holds;    // a piece of the answer; or the whole of it after "="
    std::string command;  // as velctl shows it; empty: nothing handed over
  } cases[] = {
      {post(json, "{\"receivers\": [\"A\"], \"message\": \"lone \\ud800 x\"}"), "400 Bad Request",
       "lone surrogate", ""},
      {post(json, "{\"receivers\": [\"A\"], \"message\": \"m\", \"receivers\": [\"B\"]}"),
       "400 Bad Request", "is given twice", ""},
      {post("", form), "413 Content Too Large", "<b>[Not Sent]</b>", ""},
      {post(json, jsonLong), "413 Content Too Large", "at most 4093", ""},
      {"POST /send.htm HTTP/1.0\r\nContent-Length: 70000\r\n\r\n" + std::string(1000, 'x'),
       "413 Content Too Large", "Request Too Large", ""},
      {"POST /SEND.HTM?receivers=A&message=q HTTP/1.1\r\nHost: x\r\n"
       "Transfer-Encoding: chunked\r\n\r\n1b\r\nmessage=other&receivers=B\r\n0\r\n\r\n",
       "411 Length Required", "<b>[Not Sent]</b>", ""},
      {post("", "old_message=DECOY&message=real&cc_receivers=Mike&receivers=A"), "200 OK",
       "<b>A</b>\r\nend", "FT:A\\xfereal"},
      {"HEAD / HTTP/1.0\r\n\r\n", "200 OK", "=" + head200, ""},
      {"HEAD /nothing.htm HTTP/1.0\r\n\r\n", "404 Not Found", "Content-Length: 264\r\n", ""},
      {"GET http://localhost:8080/a.htm HTTP/1.1\r\nHost: localhost\r\n\r\n", "200 OK",
       "\r\n\r\na\r\n", ""},
      {"POST http://localhost/send.htm HTTP/1.1\r\nHost: localhost\r\nContent-Length: 23\r\n\r\n"
       "message=abs&receivers=B",
       "200 OK", "<b>B</b>", "FT:B\\xfeabs"},
      // A name that is not the server's (DNS rebinding): nothing read, nothing handed over.
      {"GET /a.htm HTTP/1.1\r\nHost: attacker.example:8080\r\n\r\n", "421 Misdirected Request",
       "add the name to Hosts in section [HTTP]", ""},
      {"GET /metrics HTTP/1.1\r\nHost: attacker.example\r\n\r\n", "421 Misdirected Request",
       "attacker.example", ""},
      {"POST /send.htm HTTP/1.1\r\nHost: attacker.example\r\nOrigin: http://attacker.example\r\n"
       "Content-Length: 22\r\n\r\nmessage=go&receivers=H",
       "421 Misdirected Request", "Unknown Host Name", ""},
      {"GET /a.htm HTTP/1.1\r\n\r\n", "400 Bad Request", "names no host", ""},
      {"GET /a.htm HTTP/1.1\r\nHost: Alarm.Example.ORG.:80\r\n\r\n", "200 OK", "\r\n\r\na\r\n", ""},
      {"GET /a.htm HTTP/1.1\r\nHost: [::1]:80\r\n\r\n", "200 OK", "\r\n\r\na\r\n", ""},
      {"GET /a.htm HTTP/1.1\r\nHost: " + MachineName() + "\r\n\r\n", "200 OK", "\r\n\r\na\r\n", ""},
      // Framed in a way that another reader could take for another request: 400 at once.
      {post("Content-Length: 5\r\n", "message=smuggled&receivers=S"), "400 Bad Request",
       "Bad Request", ""},
      {"POST /send.htm HTTP/1.1\r\nHost: x\r\nTransfer-Encoding : chunked\r\n"
       "Content-Length: 23\r\n\r\nmessage=te&receivers=T",
       "400 Bad Request", "Bad Request", ""},
      {post("Origin: http://x\r\n http://evil.example\r\n", "message=fold&receivers=F"),
       "400 Bad Request", "Bad Request", ""},
      {post("Content-Type: application/json\r\nContent-Length: 5\r\n", "{}"), "400 Bad Request",
       "two different Content-Length values", ""},
      {"GET /a.htm\rX HTTP/1.0\r\n\r\n", "400 Bad Request", "Bad Request", ""},
      {"GET /a.htm\n\n", "400 Bad Request", "Bad Request", ""},
      {"GET /a.htm HTTP/1.0\nHost: x\n\n", "200 OK", "\r\n\r\na\r\n", ""},
      // A full command buffer may take it later: 503, and when to retry.
      {post("", nearlyFull), "200 OK", "<b>F</b>", "FT:F\\xfe" + std::string(4000, 'f')},
      {post("", "message=" + std::string(200, 'l') + "&receivers=L"), "503 Service Unavailable",
       "Retry-After: 5\r\n", ""},
  };
  std::string commands;
  for (const auto& c : cases) {
    const std::string answer = server_.Fetch(c.request);
    const std::string what = c.request.substr(0, 90);
    EXPECT_EQ(answer.substr(0, 9 + c.status.size()), "HTTP/1.0 " + c.status) << what;
    if (c.holds[0] == '=') {
      EXPECT_EQ(answer, c.holds.substr(1)) << what;
    } else {
      EXPECT_NE(answer.find(c.holds), std::string::npos) << what << "\n" << answer.substr(0, 400);
    }
    if (!c.command.empty()) commands += c.command + "\n";
  }
  EXPECT_EQ(server_.Velctl("commands --raw"), commands);
  EXPECT_TRUE(
      server_.LogShows(" WEB Refused HTTP request from 127.0.0.1 for the host name "
                       "attacker.example:8080: if the server is reached by it, add it to "
                       "Hosts in section [HTTP] of VELWEB.INI\r\n"));
  EXPECT_EQ(CountOf(server_.Log(), "for the host name"), 1u) << "once a minute";

  // A client that waits for leave to send its body is given it, and its body is read.
  Client client(server_.port());
  const std::string body = "message=go&receivers=C";
  ASSERT_TRUE(
      client.Send("POST /send.htm HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\n"
                  "Content-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n"));
  const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
  std::string seen;
  const auto deadline = Clock::now() + milliseconds(8000);
  while (seen.size() < interim.size() && Clock::now() < deadline) {
    seen += client.ReadSlowly(milliseconds(10), milliseconds(20));
  }
  EXPECT_EQ(seen, interim);
  ASSERT_TRUE(client.Send(body));
  const std::string answer = client.ReadToEnd();
  EXPECT_EQ(answer.substr(0, 15), "HTTP/1.0 200 OK") << answer;
  EXPECT_NE(answer.find("<b>C</b>"), std::string::npos) << answer;

  // A request that comes a byte at a time, the end of its header block and its body
  // split anywhere, is read whole.
  Client trickle(server_.port());
  for (const char byte : std::string("POST /send.htm HTTP/1.0\r\nContent-Length: 22\r\n\r\n"
                                     "message=go&receivers=C")) {
    ASSERT_TRUE(trickle.Send(std::string(1, byte)));
  }
  const std::string trickled = trickle.ReadToEnd();
  EXPECT_EQ(trickled.substr(0, 15), "HTTP/1.0 200 OK") << trickled;
  EXPECT_NE(trickled.find("<b>C</b>"), std::string::npos) << trickled;
}

TEST_F(ServerTest, RefusedCommandIsNotReportedAsSent) {
  ASSERT_TRUE(server_.Start());
  // The library refuses a command holding the byte 0xFF; one holding a NUL byte would
  // reach the alarm server cut short, so it is not passed on either.
  for (const std::string body : {"message=bad%FFbyte&receivers=A", "message=cut%00here&receivers=A",
                                 "message=Hi&receivers=A%00B"}) {
    EXPECT_EQ(server_.Fetch(PostRequest(body)), "<p>sent to</p>\r\n<b>[Not Sent]</b>\r\nend\r\n")
        << body;
    EXPECT_EQ(server_.Velctl("commands --raw"), "") << body;
  }
  EXPECT_TRUE(server_.LogShows(" WEB Could not pass HTTP message request from 127.0.0.1\r\n"))
      << server_.Log();
}

TEST_F(ServerTest, WithoutTheLibraryNothingIsReportedAsSent) {
  fs::remove(server_.dir() / "libVelmar.so");
  ASSERT_TRUE(server_.Start({}, false));
  ASSERT_TRUE(WaitFor([&] { return server_.Out().find("Initialized Ok") != std::string::npos; }));
  const std::string body = "message=Hi&receivers=A";
  EXPECT_EQ(server_.Fetch(PostRequest(body)), "<p>sent to</p>\r\n<b>[Not Sent]</b>\r\nend\r\n");
  EXPECT_FALSE(fs::exists(server_.LogPath()));
  EXPECT_EQ(server_.Stop(SIGTERM), 0);
}

TEST_F(ServerTest, LogLinesFromStartToSystemShutdown) {
  ASSERT_TRUE(server_.Start());
  EXPECT_EQ(server_.Stop(SIGTERM), 0);
  const std::string log = server_.Log();
  const std::regex line(R"(\d\d-\d\d-\d\d \d\d:\d\d:\d\d WEB ([^\r]*)\r\n)");
  std::vector<std::string> events;
  for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it) {
    events.push_back((*it)[1]);
  }
  EXPECT_EQ(events,
            (std::vector<std::string>{"Velmar Web Server is starting", "Velmar Web Server Started",
                                      "Velmar Web Server shuts down because Windows shuts down"}))
      << log;
  EXPECT_EQ(server_.LogPath().filename().string().size(), 12u);
  EXPECT_TRUE(fs::exists(server_.dir() / "vel_rcv.dat")) << "a missing receiver file is made";
}

TEST_F(ServerTest, InterruptWithoutTerminalIsTheUsersConfirmedClose) {
  ASSERT_TRUE(server_.Start());
  EXPECT_EQ(server_.Stop(SIGINT), 0);
  EXPECT_NE(server_.Log().find("WEB Velmar Web Server shut down because of user interaction\r\n"),
            std::string::npos);
}

TEST_F(ServerTest, ReceiverFileRewrittenIsReloadedWithinTwoSeconds) {
  ASSERT_NE(server_.Velctl("receivers write '" + (server_.dir() / "vel_rcv.dat").string() +
                           "' Zulu alpha"),
            "(no output)");
  ASSERT_TRUE(server_.Start());
  EXPECT_EQ(server_.Fetch("GET / HTTP/1.0\r\n\r\n"),
            "<p>index 1.0.00</p>\r\n<li>alpha</li>\r\n<li>Zulu</li>\r\n");
  server_.Velctl("receivers write '" + (server_.dir() / "vel_rcv.dat").string() +
                 "' Mike bravo Charlie");
  const auto start = Clock::now();
  ASSERT_TRUE(server_.LogShows("WEB Velmar Web Server reloaded 3 receivers\r\n"));
  EXPECT_LT(Clock::now() - start, milliseconds(3500));
  EXPECT_EQ(server_.Fetch("GET / HTTP/1.0\r\n\r\n"),
            "<p>index 1.0.00</p>\r\n<li>bravo</li>\r\n<li>Charlie</li>\r\n<li>Mike</li>\r\n");

  // A version the server does not know: empty list, the language's log line.
  server_.Put("vel_rcv.dat", std::string("\x02\x00\x00\x00", 4));
  ASSERT_TRUE(server_.LogShows("WEB Receiver file version 2 is not supported\r\n"))
      << server_.Log();
  EXPECT_TRUE(server_.LogShows("WEB Velmar Web Server reloaded 0 receivers\r\n"));
  EXPECT_EQ(server_.Fetch("GET / HTTP/1.0\r\n\r\n"), "<p>index 1.0.00</p>\r\n");

  // Touched, same bytes: a new time is a change too.
  const fs::path file = server_.dir() / "vel_rcv.dat";
  fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(5));
  ASSERT_TRUE(WaitFor([&] {
    const std::string log = server_.Log();
    const std::string line = "WEB Velmar Web Server reloaded 0 receivers\r\n";
    const size_t first = log.find(line);
    return first != std::string::npos && log.find(line, first + 1) != std::string::npos;
  })) << server_.Log();
}

TEST_F(ServerTest, SecondInstanceIsRefusedAndTheFirstKeepsServing) {
  ASSERT_TRUE(server_.Start());
  std::string err;
  EXPECT_EQ(server_.RunAnother(err), 1);
  EXPECT_NE(err.find("Velmar Web Server is already started"), std::string::npos) << err;
  EXPECT_EQ(server_.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "a\r\n");
}

TEST_F(ServerTest, PortThatCannotBeUsedEndsStartWithoutLogLine) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  const int busy = ntohs(address.sin_port);

  // The message stays as it is; the next line says why, and what to do.
  struct Case {
    std::string port;
    std::string shown;
    std::string reason;
    bool asNobody = false;
  };
  const std::string range =
      "A port is a whole number from 1 to 65535: set HTTPPort in section "
      "[TCPIP] of VELWEB.INI.";
  const std::string n = std::to_string(busy);
  for (const Case& c : std::vector<Case>{
           {n, n,
            "Address already in use (EADDRINUSE): another program listens on port " + n +
                " (see which with: ss -ltnp 'sport = :" + n + "')"},
           {"abc", "0", range},
           {"70000", "70000", range},
           {"80", "80", "ports below 1024 need root or the capability CAP_NET_BIND_SERVICE", true},
       }) {
    server_.SetProfile(c.port, "0");
    fs::permissions(server_.dir(), fs::perms::all);
    std::map<std::string, std::string> env;
    if (c.asNobody) env["VELWEB_TEST_AS_NOBODY"] = "1";
    ASSERT_TRUE(server_.Start(env, false));
    const int status = server_.WaitExit();
    if (c.asNobody && status == 126) continue;  // root may not change account here
    EXPECT_EQ(status, 1) << c.port;
    const std::string message =
        "Velmar Web Server: The HTTP port (" + c.shown + ") can not be used.\n";
    const size_t at = server_.Err().find(message);
    ASSERT_NE(at, std::string::npos) << server_.Err();
    EXPECT_NE(server_.Err().find(c.reason, at + message.size()), std::string::npos)
        << server_.Err();
    EXPECT_FALSE(fs::exists(server_.LogPath())) << c.port;
    if (c.port == "abc") {
      EXPECT_NE(server_.Err().find("Warning: VELWEB.INI line 4: HTTPPort=abc in [TCPIP] is not a "
                                   "whole number; it reads as 0\n"),
                std::string::npos)
          << server_.Err();
    }
  }
  close(fd);
}

TEST_F(ServerTest, PortWithTrailingTextReadsItsLeadingNumber) {
  const std::string port = std::to_string(server_.port());
  for (const std::string trailing : {"x", " 24"}) {  // a blank ends the number
    server_.SetProfile(port + trailing, "0");
    ASSERT_TRUE(server_.Start()) << trailing << server_.Err();
    EXPECT_EQ(server_.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "a\r\n");
    EXPECT_NE(server_.Err().find("Headers=1"), std::string::npos) << "no hint on a port not 80";
    EXPECT_NE(server_.Err().find("HTTPPort=" + port + trailing +
                                 " in [TCPIP] is not a whole number; it reads as " + port),
              std::string::npos)
        << server_.Err();
    EXPECT_EQ(server_.Stop(SIGTERM), 0);
  }
}

// What keeps the server from doing all it should is said on standard error and in the
// log; the log still begins with its start line.
TEST_F(ServerTest, StartWarnsOfWhatItCannotDo) {
  server_.Put("VELWEB.INI", "[General]\r\nLanguage=001\r\n[TCPIP]\r\nHTTPPrt=1\r\nHTTPPort=" +
                                std::to_string(server_.port()) + "\r\n[HTTP]\r\nHeaders=1\r\n");
  server_.Put("vel_rcv.dat", std::string("\x02\x00\x00\x00", 4));
  ASSERT_TRUE(server_.Start()) << server_.Err();
  for (const std::string warning :
       {"VELWEB.INI line 4: HTTPPrt: unknown key in [TCPIP], did you mean HTTPPort?",
        "vel_rcv.dat has version 2, and only version 1 is read: the receiver list stays empty."}) {
    EXPECT_NE(server_.Err().find("Warning: " + warning + "\n"), std::string::npos) << server_.Err();
    EXPECT_NE(server_.Log().find(" WEB Warning: " + warning + "\r\n"), std::string::npos)
        << server_.Log();
  }
  EXPECT_EQ(server_.Log().find(" WEB "), server_.Log().find(" WEB Velmar Web Server is starting"));
  EXPECT_EQ(server_.Stop(SIGTERM), 0);

  // No library: nothing can be passed on, nor logged. An ordinary account that may not
  // write the program directory: no log file, no profile changes.
  server_.Put("vel_rcv.dat", "");
  fs::rename(server_.dir() / "libVelmar.so", server_.dir() / "libVelmar.so.away");
  ASSERT_TRUE(server_.Start({}, false));
  EXPECT_TRUE(WaitFor([&] { return server_.Out().find("Initialized Ok") != std::string::npos; }));
  EXPECT_NE(server_.Err().find("Warning: libVelmar.so cannot be loaded ("), std::string::npos)
      << server_.Err();
  EXPECT_NE(server_.Err().find("): posted messages cannot be passed on to the alarm server, and "
                               "nothing is logged.\n"),
            std::string::npos);
  EXPECT_EQ(server_.Stop(SIGTERM), 0);
  fs::rename(server_.dir() / "libVelmar.so.away", server_.dir() / "libVelmar.so");

  fs::permissions(server_.dir(), fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
  if (getuid() != 0) GTEST_SKIP() << "an unwritable directory needs another account";
  ASSERT_TRUE(server_.Start({{"VELWEB_TEST_AS_NOBODY", "1"}}, false));
  EXPECT_TRUE(WaitFor([&] {
    return server_.Out().find("Initialized Ok") != std::string::npos || !server_.Running();
  }));
  if (!server_.Running() && server_.WaitExit() == 126) GTEST_SKIP() << "no change of account";
  EXPECT_NE(server_.Err().find("Warning: the program directory " + server_.dir().string() +
                               "/ is not writable for this account: no daily log file is "
                               "written there"),
            std::string::npos)
      << server_.Err();
  EXPECT_EQ(server_.Stop(SIGTERM), 0);
}

TEST_F(ServerTest, HeadersSettingPutsAnHttpHeadBeforeUnchangedBodies) {
  server_.SetProfile(std::to_string(server_.port()), "1");
  ASSERT_TRUE(server_.Start());
  // Every answer: no guessing of its type; pages: never framed by another site.
  const std::string nosniff = "X-Content-Type-Options: nosniff\r\n";
  const std::string page = nosniff +
                           "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors "
                           "'none'\r\nConnection: close\r\n\r\n";
  EXPECT_EQ(server_.Fetch("GET / HTTP/1.0\r\n\r\n"),
            "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=windows-1252\r\n"
            "Content-Length: 21\r\n" +
                page + "<p>index 1.0.00</p>\r\n");
  EXPECT_TRUE(Same(server_.Fetch("GET /logo.gif HTTP/1.0\r\n\r\n"),
                   "HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\nContent-Length: 25000\r\n" +
                       nosniff + "Connection: close\r\n\r\n" + Gif(25000)));
  EXPECT_EQ(server_.Fetch("GET /nothing.htm HTTP/1.0\r\n\r\n"),
            "HTTP/1.0 404 Not Found\r\nContent-Type: text/html; charset=windows-1252\r\n"
            "Content-Length: 264\r\n" +
                page + kNotFound);
  EXPECT_EQ(server_.Err().find("Headers=1"), std::string::npos) << server_.Err();
  // A HEAD of a file too large to be kept in memory is an answer as every other: counted.
  server_.Put("LARGE.GIF", Gif(100 * 1024));
  auto count200 = [&] {
    const std::string metrics = server_.Fetch("GET /metrics HTTP/1.0\r\n\r\n");
    const std::string series = "velweb_requests_total{status=\"200\"} ";
    const size_t at = metrics.find(series);
    return at == std::string::npos ? -1 : std::atoi(metrics.c_str() + at + series.size());
  };
  const int before = count200();
  EXPECT_EQ(StatusLine(server_.Fetch("HEAD /large.gif HTTP/1.0\r\n\r\n")), "HTTP/1.0 200 OK");
  EXPECT_EQ(count200(), before + 1);
}

TEST_F(ServerTest, EmptyFileClosesAtOnceAndCounts) {
  server_.Put("EMPTY.GIF", "");
  server_.Put("BLANK.HTM", "");
  ASSERT_TRUE(server_.Start());
  for (const char* request :
       {"GET /empty.gif HTTP/1.0\r\n\r\n", "GET /blank.htm HTTP/1.0\r\n\r\n"}) {
    Client client(server_.port());
    ASSERT_TRUE(client.Send(request));
    bool closed = false;
    EXPECT_EQ(client.ReadToEnd(milliseconds(3000), &closed), "");
    EXPECT_TRUE(closed) << request;
  }
  EXPECT_EQ(server_.Stop(SIGTERM), 0);
  EXPECT_EQ(server_.Served(), 2);
}

TEST_F(ServerTest, UnreadableFileGetsTheNotFoundPage) {
  server_.Put("LOCKED.GIF", "GIF89a");
  server_.Put("LOCKED.HTM", "x");
  fs::permissions(server_.dir() / "LOCKED.GIF", fs::perms::none);
  fs::permissions(server_.dir() / "LOCKED.HTM", fs::perms::none);
  // As root the server runs under an ordinary account here, in a directory open to it.
  fs::permissions(server_.dir(), fs::perms::all);
  if (!server_.Start({{"VELWEB_TEST_AS_NOBODY", "1"}})) {
    if (server_.WaitExit() == 126) GTEST_SKIP() << "this machine does not let root change account";
    FAIL() << server_.Err();
  }
  EXPECT_EQ(server_.Fetch("GET /locked.gif HTTP/1.0\r\n\r\n"), kNotFound);
  EXPECT_EQ(server_.Fetch("GET /locked.htm HTTP/1.0\r\n\r\n"), kNotFound);
}

TEST_F(ServerTest, ClientThatClosesItsSendingSideAfterTheRequestGetsTheWholeAnswer) {
  // A file far larger than the socket buffers, so that the client's end arrives while
  // the answer is still on its way.
  const std::string big = Gif(12 * 1024 * 1024);
  server_.Put("BIG.GIF", big);
  ASSERT_TRUE(server_.Start());
  const std::string post =
      "POST /send.htm HTTP/1.0\r\nContent-Length: 30\r\n\r\n"
      "message=hi&receivers=Ann&x=123";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"GET /a.htm HTTP/1.0\r\n\r\n", "a\r\n"},
      {"GET /big.gif HTTP/1.0\r\n\r\n", big},
      {post, "<p>sent to</p>\r\n<b>Ann</b>\r\nend\r\n"},
  };
  for (const auto& [request, expected] : cases) {
    Client client(server_.port());
    ASSERT_TRUE(client.Send(request));
    client.ShutdownSending();
    std::this_thread::sleep_for(milliseconds(100));  // the end reaches the server first
    bool closed = false;
    EXPECT_TRUE(Same(client.ReadToEnd(milliseconds(8000), &closed), expected)) << request;
    EXPECT_TRUE(closed) << request;
  }
  EXPECT_EQ(server_.Stop(SIGTERM), 0);
  EXPECT_EQ(server_.Served(), 3);
}

TEST_F(ServerTest, KeptPagesAndFilesFollowTheirFilesOnDisk) {
  server_.Put("SMALL.GIF", Gif(3000));
  // Files changed in the last two seconds are never kept: these are older.
  for (const char* name : {"A.HTM", "SMALL.GIF"}) {
    fs::last_write_time(server_.dir() / name,
                        fs::file_time_type::clock::now() - std::chrono::seconds(10));
  }
  ASSERT_TRUE(server_.Start());
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(server_.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "a\r\n");
    EXPECT_TRUE(Same(server_.Fetch("GET /small.gif HTTP/1.0\r\n\r\n"), Gif(3000)));
  }
  // Same sizes, other bytes: what is kept must not be sent again.
  server_.Put("A.HTM", "b\r\n");
  std::string other = Gif(3000);
  other[100] = 'X';
  server_.Put("SMALL.GIF", other);
  EXPECT_EQ(server_.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "b\r\n");
  EXPECT_TRUE(Same(server_.Fetch("GET /small.gif HTTP/1.0\r\n\r\n"), other));
  // Grown past what is kept in memory: streamed from the file instead.
  const std::string grown = Gif(200 * 1024);
  server_.Put("SMALL.GIF", grown);
  EXPECT_TRUE(Same(server_.Fetch("GET /small.gif HTTP/1.0\r\n\r\n"), grown));
  fs::remove(server_.dir() / "SMALL.GIF");
  EXPECT_EQ(server_.Fetch("GET /small.gif HTTP/1.0\r\n\r\n"), kNotFound);
}

TEST(ServerTimeLimits, AnAnswerThatIsNotTakenIsSentAPieceAtATimeAndReset) {
  Velweb server;
  WriteSite(server);
  // A file that never fits in the socket buffers of a client that does not read.
  WriteSparseFile(server.dir() / "BIG.GIF", 64 * 1024 * 1024);
  constexpr int kSendMs = 300;
  ASSERT_TRUE(server.Start({{"VELWEB_SEND_TIMEOUT_MS", std::to_string(kSendMs)}}));
  auto residentKb = [&] {
    const std::string status = ReadFile("/proc/" + std::to_string(server.pid()) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1L : std::atol(status.c_str() + at + 6);
  };
  const long before = residentKb();
  ASSERT_GT(before, 0);
  Client stalled(server.port());
  stalled.SmallReceiveBuffer();
  ASSERT_TRUE(stalled.Send("GET /big.gif HTTP/1.0\r\n\r\n"));
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_LT(residentKb() - before, 16 * 1024) << "kB more resident: the file was queued whole";
  EXPECT_EQ(server.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "a\r\n");
  // Reset once the limit has passed without progress, so that the client cannot take
  // what it got for the whole file (it must not read meanwhile).
  std::this_thread::sleep_for(milliseconds(kSendMs + 300));
  EXPECT_EQ(stalled.ReadUntilError(), ECONNRESET);
  EXPECT_EQ(server.Stop(SIGTERM), 0);
  EXPECT_EQ(server.Served(), 1);
}

}  // namespace
}  // namespace veltest

namespace veltest {
namespace {

TEST(ServerStart, ProfileRestoredFromItsShippedCopy) {
  Velweb server;
  WriteSite(server);
  fs::remove(server.dir() / "VELWEB.INI");
  server.Put("VELWEB.ONI", "[General]\r\nLanguage=001\r\n[TCPIP]\r\nHTTPPort=" +
                               std::to_string(server.port()) + "\r\n");
  ASSERT_TRUE(server.Start()) << server.Err();
  EXPECT_TRUE(fs::exists(server.dir() / "VELWEB.INI"));
  EXPECT_EQ(server.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "a\r\n");
}

TEST(ServerStart, WithoutALanguageAndNoTerminalTheProgramEnds) {
  Velweb server;
  const std::string port = "[TCPIP]\r\nHTTPPort=" + std::to_string(server.port()) + "\r\n";
  // None chosen, and one chosen whose file is not there: each said as it is.
  for (const auto& [language, said] : std::vector<std::pair<std::string, std::string>>{
           {"", "no language is chosen"},
           {"[General]\r\nLanguage=999\r\n",
            "Language=999 in section [General] of VELWEB.INI names the file vel_lang.999, which "
            "is not in " +
                server.dir().string() + "/."}}) {
    server.Put("VELWEB.INI", language + port);
    ASSERT_TRUE(server.Start({}, false));
    EXPECT_EQ(server.WaitExit(), 1);
    EXPECT_FALSE(fs::exists(server.LogPath()));
    EXPECT_EQ(server.Out(), "");
    EXPECT_NE(server.Err().find(said), std::string::npos) << server.Err();
  }
}

TEST(ServerStart, HelpAndVersionAnswerAndExit) {
  const std::string program = std::string(VELWEB_DIST_DIR) + "/velweb";
  int status = -1;
  EXPECT_EQ(CommandOutput("'" + program + "' --version 2>&1", &status), "velweb 1.0.00\n");
  EXPECT_EQ(status, 0);
  const std::string help = CommandOutput("'" + program + "' --help 2>&1", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(help.rfind("Usage: velweb [--headless] [--check]", 0), 0u) << help;
  // Every key of the table is told of: in --help (from the table), the README's table and
  // the manual page (by hand).
  const std::string readme = ReadFile(VELWEB_README);
  const std::string page = ReadFile(fs::path(VELWEB_README).parent_path() / "packaging/velweb.1");
  for (const vel::ProfileKey& row : vel::kProfileKeys) {
    const std::string name = "[" + std::string(row.section) + "] " + row.key;
    EXPECT_NE(help.find("  " + name), std::string::npos) << name << help;
    EXPECT_NE(readme.find("| `" + std::string(row.section) + "` | `" + row.key + "` |"),
              std::string::npos)
        << name << " is not in the README's table";
    EXPECT_NE(page.find(std::string(row.key)), std::string::npos) << name << " is not in velweb(1)";
  }
}

}  // namespace
}  // namespace veltest

namespace veltest {
namespace {

// Runs velweb --headless in the program directory of `server` on a terminal of its own.
pid_t StartOnTerminal(Velweb& server, int& terminal,
                      const std::map<std::string, std::string>& env = {}) {
  const std::string program = (server.dir() / "velweb").string();
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    setenv("VELMAR_INSTANCE", server.instance().c_str(), 1);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    execl(program.c_str(), program.c_str(), "--headless", static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

void StopOnTerminal(pid_t pid, int terminal) {
  kill(pid, SIGTERM);
  int status = 0;
  if (!WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  close(terminal);
}

TEST(ServerTerminal, WithoutALanguageTheTerminalOffersTheLoadableOnes) {
  Velweb server;
  WriteSite(server);
  server.Put("VELWEB.INI", "[TCPIP]\r\nHTTPPort=" + std::to_string(server.port()) + "\r\n");
  server.Put("vel_lang.049", "0=Deutsch\r\n124=Lade\r\n");
  server.Put("VEL_LANG.1", "0=Never loadable\r\n");  // a choice would be stored as 001
  server.Put("vel_lang.txt", "0=Not a number\r\n");
  int terminal = -1;
  const pid_t pid = StartOnTerminal(server, terminal);
  ASSERT_GE(pid, 0);
  std::string seen;
  ASSERT_TRUE(ReadTerminalUntil(terminal, "Number: ", seen)) << seen;
  EXPECT_NE(seen.find("1) Deutsch"), std::string::npos) << seen;
  EXPECT_NE(seen.find("2) Testish"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("Never loadable"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("Not a number"), std::string::npos) << seen;
  ASSERT_EQ(write(terminal, "1\n", 2), 2);
  EXPECT_TRUE(ReadTerminalUntil(terminal, "Initialized Ok...", seen)) << seen;
  StopOnTerminal(pid, terminal);
  std::ifstream ini(server.dir() / "VELWEB.INI", std::ios::binary);
  const std::string profile((std::istreambuf_iterator<char>(ini)),
                            std::istreambuf_iterator<char>());
  EXPECT_NE(profile.find("Language=049"), std::string::npos) << profile;
}

// On a terminal the served count is one line, rewritten in place at most ten times a
// second, and language texts reach it in the locale's encoding.
TEST(ServerTerminal, ServedCountIsOneStatusLineAndTextsAreInTheLocalesEncoding) {
  for (const auto& [locale, shown] : std::vector<std::pair<std::string, std::string>>{
           {"C.UTF-8", "Die Empf\xC3\xA4nger werden geladen..."},
           {"C", "Die Empf\\xe4nger werden geladen..."}}) {
    SCOPED_TRACE(locale);
    Velweb server;
    WriteSite(server);
    server.Put("vel_lang.049", "0=Deutsch\r\n124=Die Empf\xE4nger werden geladen...\r\n");
    server.Put("VELWEB.INI", "[General]\r\nLanguage=049\r\n[TCPIP]\r\nHTTPPort=" +
                                 std::to_string(server.port()) + "\r\n[HTTP]\r\nHeaders=0\r\n");
    int terminal = -1;
    const pid_t pid = StartOnTerminal(server, terminal, {{"LC_ALL", locale}});
    ASSERT_GE(pid, 0);
    std::string seen;
    ASSERT_TRUE(ReadTerminalUntil(terminal, "Initialized Ok...", seen)) << seen;
    EXPECT_NE(seen.find(shown + "\r\n"), std::string::npos) << seen;

    constexpr int kRequests = 30;
    for (int i = 0; i < kRequests; ++i) {
      ASSERT_EQ(server.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "a\r\n");
    }
    const std::string last = "\rServed requests: " + std::to_string(kRequests);
    ASSERT_TRUE(ReadTerminalUntil(terminal, last, seen)) << seen;
    const size_t first = seen.find("Served requests: ", seen.find("Initialized Ok..."));
    const std::string status = seen.substr(first);
    EXPECT_EQ(status.find('\n'), std::string::npos) << "a new line for a count: " << status;
    size_t draws = 0;
    for (size_t at = 0; (at = status.find("Served requests: ", at)) != std::string::npos; ++at) {
      ++draws;
    }
    EXPECT_LT(draws, static_cast<size_t>(kRequests)) << "not held to ten a second: " << status;

    kill(pid, SIGTERM);
    EXPECT_TRUE(ReadTerminalUntil(terminal,
                                  "\rVelmar Web Server stopped: shut down by the system (SIGTERM). "
                                  "Served requests: " +
                                      std::to_string(kRequests) + "\r\n",
                                  seen))
        << seen;
    StopOnTerminal(pid, terminal);
  }
}

TEST(ServerTerminal, InterruptAsksOnTheTerminalAndKeepsServingMeanwhile) {
  Velweb server;
  WriteSite(server);
  int terminal = -1;
  const pid_t pid = StartOnTerminal(server, terminal);
  ASSERT_GE(pid, 0);
  std::string seen;
  ASSERT_TRUE(ReadTerminalUntil(terminal, "Initialized Ok...", seen)) << seen;

  const std::string question = "Are you sure ? [y/N] ";
  kill(pid, SIGINT);
  ASSERT_TRUE(ReadTerminalUntil(terminal, question, seen)) << seen;
  // The question stands; pages are still served.
  EXPECT_EQ(server.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "a\r\n");
  ASSERT_EQ(write(terminal, "n\n", 2), 2);
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(server.Fetch("GET /a.htm HTTP/1.0\r\n\r\n"), "a\r\n");
  EXPECT_EQ(server.Log().find("shut down because of user interaction"), std::string::npos);

  seen.clear();
  kill(pid, SIGINT);
  ASSERT_TRUE(ReadTerminalUntil(terminal, question, seen)) << seen;
  ASSERT_EQ(write(terminal, "y\n", 2), 2);
  int status = 0;
  const bool ended = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; });
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  close(terminal);
  ASSERT_TRUE(ended);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::string log = server.Log();
  const std::string closeLine = "WEB Velmar Web Server shut down because of user interaction\r\n";
  const size_t line = log.find(closeLine);
  ASSERT_NE(line, std::string::npos) << log;
  EXPECT_EQ(log.find("shut", line + closeLine.size()), std::string::npos)
      << "logged twice: " << log;
}

}  // namespace
}  // namespace veltest
