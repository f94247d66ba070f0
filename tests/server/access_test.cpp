// The [Access] keys through the real velweb: clients on different loopback addresses
// (and ::1), allowed and refused, over and under the send limit, with and without the
// password; the status lines and the JSON answers; the start refused for settings that
// cannot work; and the server behind the real nginx over HTTPS.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "http_text.h"
#include "processes.h"
#include "velweb_process.h"

namespace veltest {
namespace {

const std::string kRefusedPage =
    "<html>\r\n<head>\r\n<title>Access Refused</title>\r\n</head>\r\n<body>\r\n"
    "<h1>Access Refused</h1>\r\n<p>This address may not use Velmar Web Server.</p>\r\n"
    "</body>\r\n</html>\r\n";
const std::string kChallenge = "WWW-Authenticate: Basic realm=\"Velmar Web Server\"\r\n";

const From kV4a{"127.0.0.2"}, kV4b{"127.0.0.3"}, kV6{"::1"};

std::string PostJson(const std::string& body, const std::string& head = "",
                     const std::string& target = "/send.htm") {
  return PostRequest(body, head + "Content-Type: application/json\r\n", target);
}

// How often `piece` stands in the log once at least `atLeast` are there (bounded wait):
// refusals are logged from a thread of their own, and the answer may come first.
// The count of `piece` in the log once it holds `atLeast` of them (the lines of a request
// are queued before its answer and written in their order; that no line is written
// too often is the access rules' own test, on their clock).
size_t LogCount(const Velweb& server, const std::string& piece, size_t atLeast = 1) {
  WaitFor([&] { return CountOf(server.Log(), piece) >= atLeast; });
  return CountOf(server.Log(), piece);
}

void WriteSite(Velweb& server) {
  server.Put("Send.Htm", "<p>sent to</p>\r\n<b>[SUBMITTEDONES]</b>\r\nend");
  server.Put("A.HTM", "a\r\n");
}

// Starts `server` with header fields on and `access` as its [Access] section.
::testing::AssertionResult StartWith(Velweb& server, const std::string& access) {
  WriteSite(server);
  server.SetProfile(std::to_string(server.port()), "1", "[Access]\r\n" + access);
  if (server.Start()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << server.Err();
}

TEST(ServerAccess, AllowedAndRefusedAddressesAndNetworks) {
  struct Case {
    std::string allowFrom;
    std::vector<std::pair<From, bool>> clients;  // allowed?
  };
  const std::vector<Case> cases = {
      {"127.0.0.2, 127.0.0.8/30",
       {{kV4a, true},
        {From{"127.0.0.9"}, true},
        {kV4b, false},
        {From{"127.0.0.12"}, false},
        {From{"127.0.0.1"}, false},
        {kV6, false}}},
      {"::/127 127.0.0.3", {{kV6, true}, {kV4b, true}, {kV4a, false}}},
  };
  const std::string post = PostRequest("message=Fire&receivers=Brigade");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.allowFrom);
    Velweb server;
    ASSERT_TRUE(StartWith(server, "AllowFrom=" + c.allowFrom + "\r\n"));
    for (const auto& [from, allowed] : c.clients) {
      SCOPED_TRACE(from.address);
      const std::string answer = server.Fetch(from, "GET /a.htm HTTP/1.0\r\n\r\n");
      if (allowed) {
        EXPECT_EQ(StatusLine(answer), "HTTP/1.0 200 OK");
        EXPECT_EQ(Body(server.Fetch(from, post)), "<p>sent to</p>\r\n<b>Brigade</b>\r\nend\r\n");
        EXPECT_EQ(server.Velctl("commands --raw"), "FT:Brigade\\xfeFire\n");
        continue;
      }
      // Its head is every page's, proven with the header fields; here its status and page.
      EXPECT_EQ(StatusLine(answer), "HTTP/1.0 403 Forbidden");
      EXPECT_EQ(Body(answer), kRefusedPage);
      // A flood of posts: nothing handed over, and one log line per address.
      const size_t logBefore = server.Log().size();
      for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(StatusLine(server.Fetch(from, post)), "HTTP/1.0 403 Forbidden");
      }
      EXPECT_EQ(server.Velctl("commands --raw"), "");
      EXPECT_EQ(LogCount(server, " WEB Refused HTTP request from " + from.address + "\r\n"), 1u);
      EXPECT_LT(server.Log().size() - logBefore, 200u) << server.Log();
    }
    EXPECT_EQ(server.Stop(SIGTERM), 0);
  }
}

TEST(ServerAccess, SendLimitHoldsOneAddressWhileAnotherKeepsSending) {
  Velweb server;
  ASSERT_TRUE(StartWith(server, "SendLimit=3\r\n"));
  std::string expected;
  for (int i = 1; i <= 5; ++i) {
    SCOPED_TRACE(i);
    const std::string n = std::to_string(i);
    const std::string flooded = server.Fetch(kV4a, PostRequest("message=a" + n + "&receivers=A"));
    if (i <= 3) {
      EXPECT_EQ(StatusLine(flooded), "HTTP/1.0 200 OK");
      expected += "FT:A\\xfea" + n + "\n";
    } else {
      EXPECT_EQ(StatusLine(flooded), "HTTP/1.0 429 Too Many Requests");
      EXPECT_EQ(Body(flooded), "<p>sent to</p>\r\n<b>[Not Sent]</b>\r\nend\r\n");
    }
    if (i <= 3) {  // the other address has a limit of its own
      EXPECT_EQ(StatusLine(server.Fetch(kV6, PostRequest("message=b" + n + "&receivers=B"))),
                "HTTP/1.0 200 OK");
      expected += "FT:B\\xfeb" + n + "\n";
    }
  }
  // Bad requests are refusals too: a flood of them is logged once.
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(StatusLine(server.Fetch(kV4b, PostRequest("receivers=A"))),
              "HTTP/1.0 400 Bad Request");
  }
  EXPECT_EQ(server.Velctl("commands --raw"), expected);
  EXPECT_EQ(LogCount(server, " WEB Send limit reached for 127.0.0.2\r\n"), 1u);
  EXPECT_EQ(LogCount(server, " WEB Received HTTP message request from 127.0.0.2\r\n", 3), 3u);
  EXPECT_EQ(LogCount(server, " WEB Received HTTP message request from ::1\r\n", 3), 3u);
  EXPECT_EQ(LogCount(server, " WEB Received bad HTTP message request from 127.0.0.3\r\n"), 1u);
}

TEST(ServerAccess, PasswordRightWrongMissingAndTheLockOut) {
  Velweb server;
  const std::string line = server.PasswordLine("s3cret \xC3\xA4");
  ASSERT_EQ(line.rfind("Password=$y$", 0), 0u) << line;
  ASSERT_TRUE(StartWith(server, line + "\r\n"));
  const std::string get = "GET /a.htm HTTP/1.0\r\n";
  const std::string right = Basic("anyone", "s3cret \xC3\xA4");
  const std::string wrong = Basic("anyone", "s3cret");
  struct Case {
    const char* what;
    std::string request;
    std::string status;
  };
  const std::vector<Case> cases = {
      {"missing", get + "\r\n", "HTTP/1.0 401 Unauthorized"},
      {"another scheme", get + "Authorization: Bearer abc\r\n\r\n", "HTTP/1.0 401 Unauthorized"},
      {"right", get + right + "\r\n", "HTTP/1.0 200 OK"},
      {"right, another user", get + Basic("x", "s3cret \xC3\xA4") + "\r\n", "HTTP/1.0 200 OK"},
      {"wrong", get + wrong + "\r\n", "HTTP/1.0 401 Unauthorized"},
      {"no base64", get + "Authorization: Basic !!!!\r\n\r\n", "HTTP/1.0 401 Unauthorized"},
  };
  for (const Case& c : cases) {
    const std::string answer = server.Fetch(kV4a, c.request);
    EXPECT_EQ(StatusLine(answer), c.status) << c.what;
    EXPECT_EQ(answer.find(kChallenge) != std::string::npos,
              c.status.find("401") != std::string::npos)
        << c.what << answer;
  }
  EXPECT_EQ(Body(server.Fetch(kV4a, PostRequest("message=m&receivers=R", right))),
            "<p>sent to</p>\r\n<b>R</b>\r\nend\r\n");
  EXPECT_EQ(server.Velctl("commands --raw"), "FT:R\\xfem\n");

  // A hostile page that opens pop-ups with guessed credentials: each told it is wrong,
  // none counts towards a lock-out.
  for (const std::string& from :
       {std::string("Sec-Fetch-Site: cross-site\r\n"),
        std::string("Host: localhost\r\nReferer: http://evil.example/\r\n")}) {
    for (int i = 0; i < 6; ++i) {
      const std::string answer = server.Fetch(kV4a, get + from + wrong + "\r\n");
      EXPECT_NE(answer.find("<h1>Wrong Password</h1>"), std::string::npos) << answer;
    }
  }
  EXPECT_EQ(StatusLine(server.Fetch(kV4a, get + right + "\r\n")), "HTTP/1.0 200 OK");
  // Two wrong passwords so far from 127.0.0.2; three more lock it out for a minute,
  // and the right one does not help then. Another address is not locked out.
  for (int i = 0; i < 3; ++i) server.Fetch(kV4a, get + wrong + "\r\n");
  const std::string locked = server.Fetch(kV4a, get + right + "\r\n");
  EXPECT_EQ(StatusLine(locked), "HTTP/1.0 401 Unauthorized");
  EXPECT_NE(locked.find("Retry-After: 60\r\n"), std::string::npos) << locked;
  EXPECT_NE(Body(locked).find("try again in a minute"), std::string::npos) << locked;
  EXPECT_EQ(StatusLine(server.Fetch(kV4b, get + right + "\r\n")), "HTTP/1.0 200 OK");
  EXPECT_EQ(LogCount(server, " WEB Wrong HTTP password from 127.0.0.2\r\n"), 1u);
  EXPECT_EQ(
      LogCount(server, " WEB Locked out 127.0.0.2 for a minute after 5 wrong HTTP passwords\r\n"),
      1u);
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.Err();
}

// Accounts: two users, one who may page the ICU only. Each is named in the log, sees
// the receivers they may page, and is refused whole for any other; a user's wrong
// passwords lock out that user from every address and nobody else; users added,
// removed or broken while the server runs count within 3 s, and a broken file keeps
// the users before it; the history shows a sender their own messages, a supervisor all.
TEST(ServerAccess, UsersPageTheirOwnReceiversAndAreNamedEverywhere) {
  Velweb server;
  server.Velctl("receivers write '" + (server.dir() / "vel_rcv.dat").string() +
                "' ICU-1 ICU-2 Ward");
  server.Put("INDEX.HTM", "<li>[RECEIVERS]</li>\r\n");
  server.Put("HISTORY.HTM", "[HISTORY]\r\n");
  const std::string alice = server.PasswordLine("alice pw"), sue = server.PasswordLine("sue pw");
  auto users = [&](const std::string& more) {
    server.Put("VELWEB.USR", "[alice]\r\n" + alice + "\r\nReceivers=ICU*\r\nSendLimit=50\r\n" +
                                 "[sue]\r\n" + sue + "\r\nRole=supervisor\r\n" + more);
  };
  users("");
  ASSERT_TRUE(StartWith(server, "SendLimit=2\r\n[Outbox]\r\nSize=100\r\nKeepDays=30\r\n"));
  const std::string asAlice = Basic("alice", "alice pw"), asSue = Basic("sue", "sue pw");
  const std::string get = "GET /index.htm HTTP/1.0\r\n";
  EXPECT_EQ(StatusLine(server.Fetch(get + "\r\n")), "HTTP/1.0 401 Unauthorized");
  EXPECT_EQ(Body(server.Fetch(get + asAlice + "\r\n")), "<li>ICU-1</li>\r\n<li>ICU-2</li>\r\n");
  EXPECT_EQ(Body(server.Fetch(get + asSue + "\r\n")),
            "<li>ICU-1</li>\r\n<li>ICU-2</li>\r\n<li>Ward</li>\r\n");
  // Alice may not page the ward: refused whole, nothing handed over.
  const std::string barred =
      server.Fetch(PostJson(R"({"receivers": ["ICU-1", "Ward"], "message": "no"})", asAlice));
  EXPECT_EQ(StatusLine(barred), "HTTP/1.0 403 Forbidden");
  EXPECT_NE(barred.find("may not page Ward: nothing was sent"), std::string::npos) << barred;
  for (int i = 0; i < 3; ++i) {  // her own SendLimit, not the [Access] one of 2
    EXPECT_EQ(Body(server.Fetch(
                  PostRequest("message=a" + std::to_string(i) + "&receivers=ICU-1", asAlice))),
              "<p>sent to</p>\r\n<b>ICU-1</b>\r\nend\r\n");
  }
  EXPECT_EQ(Body(server.Fetch(PostRequest("message=<script>s</script>&receivers=Ward", asSue))),
            "<p>sent to</p>\r\n<b>Ward</b>\r\nend\r\n");
  std::string taken;
  EXPECT_TRUE(WaitFor([&] {
    taken += server.Velctl("commands --raw");
    return CountOf(taken, "\n") >= 4;
  })) << taken;
  // A monitoring system that logs in as alice: the receivers of its URL follow her rule.
  const std::string alert =
      R"({"version":"4","status":"firing","receiver":"r","groupLabels":{},"commonLabels":{},)"
      R"("commonAnnotations":{},"externalURL":"http://am:9093","alerts":[{"status":"firing",)"
      R"("labels":{"alertname":"Disk"},"annotations":{},"startsAt":"2026-12-08T10:00:00Z"}]})";
  EXPECT_EQ(StatusLine(server.Fetch(PostJson(alert, asAlice, "/alertmanager?receivers=Ward"))),
            "HTTP/1.0 403 Forbidden");
  EXPECT_EQ(taken.find("no"), std::string::npos) << taken;
  EXPECT_EQ(LogCount(server, "WEB Received HTTP message request from 127.0.0.1 (alice)\r\n", 3),
            3u);
  EXPECT_EQ(LogCount(server, "WEB Received HTTP message request from 127.0.0.1 (sue)\r\n"), 1u);
  EXPECT_EQ(LogCount(server, "(alice): alice may not page Ward"), 1u);
  // The history: alice sees her own three, sue all four, the script as text.
  auto history = [&](const std::string& who) {
    return Body(server.Fetch("GET /history.htm HTTP/1.0\r\n" + who + "\r\n"));
  };
  EXPECT_EQ(CountOf(history(asAlice), "<tr"), 3u);
  EXPECT_EQ(CountOf(history(asSue), "<tr"), 4u);
  EXPECT_NE(history(asSue).find("<td>&lt;script&gt;s&lt;/script&gt;</td>"), std::string::npos);
  const std::string list = server.Fetch("GET /messages?limit=2 HTTP/1.0\r\n" + asAlice + "\r\n");
  EXPECT_EQ(CountOf(list, "\"user\": \"alice\""), 2u) << list;
  const std::string sues = server.Fetch("GET /messages?limit=1 HTTP/1.0\r\n" + asSue + "\r\n");
  const std::string sueId = sues.substr(sues.find("\"id\": ") + 6, 16);
  EXPECT_EQ(StatusLine(server.Fetch("GET /messages/" + sueId + " HTTP/1.0\r\n" + asAlice + "\r\n")),
            "HTTP/1.0 404 Not Found")
      << "alice may not ask for sue's message";
  const std::string metrics = server.Fetch("GET /metrics HTTP/1.0\r\n\r\n");
  EXPECT_NE(metrics.find("velweb_user_messages_accepted_total{user=\"alice\"} 3"),
            std::string::npos);
  EXPECT_NE(metrics.find("velweb_user_refusals_total{user=\"alice\",reason=\"not_permitted\"} 2"),
            std::string::npos);

  // Five wrong passwords for alice from five addresses: alice is locked out everywhere,
  // sue is not.
  for (int i = 0; i < 5; ++i) {
    server.Fetch(From{"127.0.1." + std::to_string(i + 1)}, get + Basic("alice", "guess") + "\r\n");
  }
  EXPECT_EQ(StatusLine(server.Fetch(From{"127.0.2.1"}, get + asAlice + "\r\n")),
            "HTTP/1.0 401 Unauthorized");
  EXPECT_EQ(StatusLine(server.Fetch(From{"127.0.2.1"}, get + asSue + "\r\n")), "HTTP/1.0 200 OK");
  EXPECT_EQ(LogCount(server, "Locked out the user alice for a minute after 5 wrong HTTP passwords"),
            1u);

  // While it runs: bob added, sue removed; then a broken file keeps bob.
  server.Put("VELWEB.USR", "[bob]\r\n" + server.PasswordLine("bob pw") + "\r\n");
  // (Each try from an address of its own: a user not there yet is a wrong password.)
  int tries = 0;
  EXPECT_TRUE(WaitFor(
      [&] {
        const From from{"127.0.3." + std::to_string(++tries % 250 + 1)};
        return StatusLine(server.Fetch(from, get + Basic("bob", "bob pw") + "\r\n")) ==
               "HTTP/1.0 200 OK";
      },
      milliseconds(3000)));
  EXPECT_EQ(StatusLine(server.Fetch(get + asSue + "\r\n")), "HTTP/1.0 401 Unauthorized");
  server.Put("VELWEB.USR", "[bob]\r\nPassword=plain\r\n");
  EXPECT_TRUE(
      server.LogShows("keeps its 1 users: the users file cannot be used: VELWEB.USR line 2:"))
      << server.Log();
  EXPECT_EQ(StatusLine(server.Fetch(get + Basic("bob", "bob pw") + "\r\n")), "HTTP/1.0 200 OK");
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.Err();
}

// Wrong passwords, 50 a second, each from a new address and never the same, while a
// client with the right password fetches a page every 0.2 s: the hashing happens off
// the event loop and under a budget, so the good client is served as if alone.
TEST(ServerAccess, AFloodOfWrongPasswordsFromManyAddressesKeepsNoGoodClientWaiting) {
  Velweb server;
  ASSERT_TRUE(StartWith(server, server.PasswordLine("right one") + "\r\n"));
  const std::string get = "GET /a.htm HTTP/1.0\r\n";
  const std::string right = get + Basic("u", "right one") + "\r\n";
  ASSERT_EQ(StatusLine(server.Fetch(kV4a, right)), "HTTP/1.0 200 OK");

  std::atomic<bool> stop{false};
  std::atomic<int> asked{0}, refused{0};
  std::vector<std::thread> flood;
  for (int t = 0; t < 5; ++t) {  // five senders of 10 a second each
    flood.emplace_back([&, t] {
      for (int i = 0; !stop; ++i) {
        const auto next = Clock::now() + milliseconds(100);
        const int n = i * 5 + t;
        const From from{"127.1." + std::to_string(n / 250) + "." + std::to_string(1 + n % 250)};
        const std::string status =
            StatusLine(server.Fetch(from, get + Basic("u", "wrong " + std::to_string(n)) + "\r\n"));
        ++asked;
        if (status == "HTTP/1.0 401 Unauthorized" || status == "HTTP/1.0 503 Service Unavailable") {
          ++refused;
        }
        std::this_thread::sleep_until(next);
      }
    });
  }
  std::this_thread::sleep_for(milliseconds(500));
  std::vector<double> times;
  for (int i = 0; i < 25; ++i) {
    const auto began = Clock::now();
    const std::string answer = server.Fetch(kV4a, right);
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - began).count());
    EXPECT_EQ(StatusLine(answer), "HTTP/1.0 200 OK");
    std::this_thread::sleep_until(began + milliseconds(200));
  }
  stop = true;
  for (std::thread& t : flood) t.join();
  EXPECT_EQ(refused.load(), asked.load());
  EXPECT_GT(asked.load(), 50);
  std::sort(times.begin(), times.end());
  EXPECT_LT(times[times.size() / 2], 100.0) << "median (ms)";
  EXPECT_LT(times.back(), 1000.0) << "worst (ms)";
  // The surplus is refused cheaply and logged, once per address.
  EXPECT_NE(server.Log().find(" WEB Wrong HTTP password from 127.1."), std::string::npos);
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.Err();
}

// An address over its send limit and one locked out stay so however many other
// addresses come: 5,000 of them, each with a refusal of its own on record.
TEST(ServerAccess, LimitsAndLockOutsOutlastAFloodFromManyAddresses) {
  Velweb server;
  ASSERT_TRUE(StartWith(server, "SendLimit=1\r\n" + server.PasswordLine("pw") + "\r\n"));
  const std::string right = Basic("u", "pw"), wrong = Basic("u", "no");
  const std::string get = "GET /a.htm HTTP/1.0\r\n";
  ASSERT_EQ(StatusLine(server.Fetch(kV4a, PostRequest("message=m&receivers=A", right))),
            "HTTP/1.0 200 OK");
  for (int i = 0; i < 5; ++i) server.Fetch(kV4b, get + wrong + "\r\n");
  auto holds = [&] {
    EXPECT_EQ(StatusLine(server.Fetch(kV4a, PostRequest("message=m&receivers=A", right))),
              "HTTP/1.0 429 Too Many Requests");
    EXPECT_EQ(StatusLine(server.Fetch(kV4b, get + right + "\r\n")), "HTTP/1.0 401 Unauthorized");
  };
  holds();
  std::vector<std::thread> senders;
  std::atomic<int> answered{0};
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      for (int n = t; n < 5000; n += 4) {
        const From from{"127.3." + std::to_string(n / 250) + "." + std::to_string(1 + n % 250)};
        if (!server.Fetch(from, get + wrong + "\r\n").empty()) ++answered;
      }
    });
  }
  for (std::thread& t : senders) t.join();
  EXPECT_EQ(answered.load(), 5000);
  holds();
  EXPECT_EQ(server.Velctl("commands --raw"), "FT:A\\xfem\n");
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.Err();
}

// velweb --check refuses each as the start does, and finds nothing in a good directory.
TEST(ServerAccess, StartIsRefusedForSettingsThatCannotWork) {
  Velweb server;
  int checked = -1;
  const std::string good = server.Check(&checked);
  EXPECT_EQ(checked, 0) << good;
  EXPECT_NE(good.find("is ready to start (0 warnings)"), std::string::npos) << good;
  const std::string password = server.PasswordLine("pw");
  struct Case {
    std::string headers;
    std::string access;
    std::string message;
    std::string users = {};  // VELWEB.USR, when there is one
  };
  // `access`: the [Access] section's lines, or with a leading "[" the whole rest.
  const std::vector<Case> cases = {
      {"1", "[Acess]\r\nPassword=",
       "VELWEB.INI line 7: [Acess]: unknown section, did you mean [Access]?\nVelmar Web Server "
       "does not start while [Access] or [TCPIP] ListenAddress may not say what was meant"},
      // Plain HTTP kept off the network by ListenAddress: a mistake about it opens it.
      {"1", "[TCPIP]\r\nListenAdress=127.0.0.1",
       "VELWEB.INI line 8: ListenAdress: unknown key in [TCPIP], did you mean ListenAddress?"},
      {"1", "[HTTP]\r\nListenAddress=127.0.0.1",
       "VELWEB.INI line 8: ListenAddress: unknown key in [HTTP], did you mean it under [TCPIP]?"},
      {"1", "[TCPIP]\r\nListenAddress=localhost",
       "[TCPIP] ListenAddress=localhost in VELWEB.INI is no IPv4 or IPv6 address"},
      {"1", "Pasword=", "VELWEB.INI line 8: Pasword: unknown key in [Access], did you mean "},
      {"1", "SendLimit=thirty",
       "VELWEB.INI line 8: SendLimit=thirty in [Access] is not a whole number"},
      {"0", password,
       "A password is set ([Access] Password in VELWEB.INI), and a password needs HTTP status "
       "lines: set Headers=1 in section [HTTP] of VELWEB.INI, or remove the password."},
      {"1", "AllowFrom=10.0.0.0/8 10.1.2.300",
       "[Access] AllowFrom in VELWEB.INI: \"10.1.2.300\" is neither an address nor a network."},
      {"1", "TrustProxy=127.0.0.1/33", "[Access] TrustProxy in VELWEB.INI: \"127.0.0.1/33\""},
      {"1", "Password=pw", "[Access] Password in VELWEB.INI cannot be used: it is no crypt(3)"},
      {"1", "Password=$1$abc$0123456789012345678901", "its method is too weak"},
      {"1", "SendLimit=0\r\n[Status]\r\nFrom=::1 10.0.0.300",
       "[Status] From in VELWEB.INI: \"10.0.0.300\" is neither an address nor a network."},
      // A users file that cannot be used never opens the server.
      {"1", "SendLimit=0", "VELWEB.USR line 3: Role of alice is boss; it is sender or supervisor",
       "[alice]\r\n" + password + "\r\nRole=boss\r\n"},
      {"1", "SendLimit=0", "VELWEB.USR line 1: Password stands before any [user]",
       "Password=x\r\n"},
      {"0", "SendLimit=0",
       "There is a users file (VELWEB.USR), and accounts need HTTP status lines",
       "[alice]\r\n" + password + "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.access);
    server.SetProfile(std::to_string(server.port()), c.headers,
                      (c.access[0] == '[' ? "" : "[Access]\r\n") + c.access + "\r\n");
    std::error_code ignored;
    fs::remove(server.dir() / "VELWEB.USR", ignored);
    if (!c.users.empty()) server.Put("VELWEB.USR", c.users);
    const std::string firstLine = c.message.substr(0, c.message.find('\n'));
    const size_t logged = CountOf(server.Log(), firstLine);
    ASSERT_TRUE(server.Start({}, false));
    EXPECT_EQ(server.WaitExit(), 1);
    EXPECT_NE(server.Err().find(c.message), std::string::npos) << server.Err();
    // Logged too, and nothing else: the server never began.
    EXPECT_EQ(CountOf(server.Log(), firstLine), logged + 1) << server.Log();
    EXPECT_EQ(server.Log().find("is starting"), std::string::npos);
    const std::string check = server.Check(&checked);
    EXPECT_EQ(checked, 1) << check;
    EXPECT_NE(check.find(firstLine), std::string::npos) << check;
  }
  EXPECT_EQ(CountOf(server.Log(), "is starting"), 0u) << "--check never starts anything";
}

// A profile that is there but cannot be read stops the start and stays as it was: never
// replaced by the shipped one, which would drop its [Access] keys.
TEST(ServerAccess, AProfileThatCannotBeReadStopsTheStartAndIsLeftAlone) {
  Velweb server;
  const std::string profile = "[General]\r\nLanguage=001\r\n[Access]\r\nAllowFrom=127.0.0.9\r\n";
  server.Put("VELWEB.INI", profile);
  const fs::path path = server.dir() / "VELWEB.INI";
  fs::permissions(server.dir(), fs::perms::all);
  struct Case {
    const char* what;
    fs::perms mode;
    bool asNobody;
    std::string reason;
  };
  for (const Case& c :
       {Case{"unreadable", fs::perms::owner_write, true, ": Permission denied."},
        Case{"a zero byte", fs::perms::owner_read, false, ": it holds a zero byte"}}) {
    SCOPED_TRACE(c.what);
    if (!c.asNobody) WriteFile(path, profile + std::string("\0", 1));
    fs::permissions(path, c.mode);
    std::map<std::string, std::string> env;
    if (c.asNobody && getuid() == 0) env["VELWEB_TEST_AS_NOBODY"] = "1";
    ASSERT_TRUE(server.Start(env, false));
    const int status = server.WaitExit();
    if (status == 126) continue;  // root may not change account here
    EXPECT_EQ(status, 1);
    EXPECT_NE(server.Err().find("VELWEB.INI in " + server.dir().string() +
                                "/ cannot be read by "
                                "the account "),
              std::string::npos)
        << server.Err();
    EXPECT_NE(server.Err().find(c.reason), std::string::npos) << server.Err();
    fs::permissions(path, fs::perms::owner_read);
    EXPECT_EQ(ReadFile(path).substr(0, profile.size()), profile);
  }
}

// A browser made to post by a page of another site: refused, nothing handed over,
// logged once; browsers on this server's own pages, and clients that say nothing of
// where they come from, are served as before.
TEST(ServerAccess, PostsFromPagesOfOtherSitesAreRefused) {
  Velweb server;
  WriteSite(server);
  server.SetProfile(std::to_string(server.port()), "1");
  ASSERT_TRUE(server.Start()) << server.Err();
  const std::string host = "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
  const std::string json = "{\"receivers\": [\"A\"], \"message\": \"m\"}";
  const std::string sent = "<p>sent to</p>\r\n<b>A</b>\r\nend\r\n";
  const std::string notSent = "<p>sent to</p>\r\n<b>[Not Sent]</b>\r\nend\r\n";
  struct Case {
    const char* what;
    std::string request;
    std::string status;
    std::string body;
  };
  // A form post with `head` besides the Host line; 403 leaves it not sent, 200 sends it.
  auto form = [&](const char* what, const std::string& head, const char* status = "403 Forbidden") {
    return Case{what, PostRequest("message=m&receivers=A", host + head), status,
                status[0] == '2' ? sent : notSent};
  };
  const std::vector<Case> cases = {
      form("another host", "Origin: http://evil.example\r\n"),
      form("another port", "Origin: http://127.0.0.1:1\r\n"),
      form("a sandboxed page", "Origin: null\r\n"),
      form("cross-site, Origin alike", "Sec-Fetch-Site: cross-site\r\n"),
      form("same-site", "Sec-Fetch-Site: same-site\r\n"),
      {"JSON, cross-site", PostJson(json, host + "Sec-Fetch-Site: cross-site\r\n"), "403 Forbidden",
       "{\"sent\": false, \"error\": \"a page of another web site sent this post (so says "
       "Sec-Fetch-Site)\"}\n"},
      form("same-origin", "Sec-Fetch-Site: same-origin\r\nOrigin: http://x\r\n", "200 OK"),
      form("typed in", "Sec-Fetch-Site: none\r\n", "200 OK"),
      form("Origin of this server",
           "Origin: http://127.0.0.1:" + std::to_string(server.port()) + "\r\n", "200 OK"),
      {"the scheme's own port",
       PostRequest("message=m&receivers=A", "Host: LocalHost:80\r\nOrigin: http://localhost\r\n"),
       "200 OK", sent},
      form("neither header", "", "200 OK"),
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string answer = server.Fetch(kV4a, c.request);
    EXPECT_EQ(StatusLine(answer), "HTTP/1.0 " + c.status);
    EXPECT_EQ(Body(answer), c.body);
    EXPECT_EQ(server.Velctl("commands --raw"), c.status == "200 OK" ? "FT:A\\xfem\n" : "");
  }
  EXPECT_EQ(LogCount(server,
                     " WEB Refused HTTP message request from 127.0.0.2: a page of another "
                     "web site sent it\r\n"),
            1u);
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.Err();
}

// One server, every status: pages and files, form posts and JSON posts, refusals.
TEST(ServerAccess, StatusLinesTellTheResultToPagesAndPrograms) {
  Velweb server;
  const std::string password = server.PasswordLine("pw");
  ASSERT_TRUE(StartWith(server, "AllowFrom=127.0.0.2 ::1\r\nSendLimit=5\r\n" + password + "\r\n"));
  const std::string auth = Basic("u", "pw");
  const std::string page = "<p>sent to</p>\r\n<b>[Not Sent]</b>\r\nend\r\n";
  const std::string big(4088, 'x');  // the command buffer holds nothing more
  struct Case {
    const char* what;
    From from;
    std::string request;
    std::string status;
    std::string body;           // the whole body, or with a leading "~" a piece of it
    std::string commands = "";  // drained after the request; "-" for not looked at
  };
  const std::vector<Case> cases = {
      {"page", kV4a, "GET /a.htm HTTP/1.0\r\n" + auth + "\r\n", "200 OK", "a\r\n", "-"},
      {"missing page", kV4a, "GET /b.htm HTTP/1.0\r\n" + auth + "\r\n", "404 Not Found",
       "~File Not Found", "-"},
      {"no receivers", kV4a, PostRequest("message=m", auth), "400 Bad Request",
       "<p>sent to</p>\r\n<b>[No Receivers]</b>\r\nend\r\n"},
      {"no message", kV4a, PostRequest("receivers=A", auth), "400 Bad Request",
       "<p>sent to</p>\r\n<b>[No Message]</b>\r\nend\r\n"},
      {"a separator byte", kV4a, PostRequest("message=a%FEb&receivers=A", auth), "400 Bad Request",
       page},
      {"JSON", kV4a,
       PostJson("{\"receivers\": [\"B\xC3\xA4r Team \xE2\x82\xAC\", \"alpha\"], \"message\": "
                "\"Gas leak at school\"}",
                auth),
       "200 OK", JsonSent("\"B\xC3\xA4r Team \xE2\x82\xAC\", \"alpha\""),
       "FT:B\\xe4r Team \\x80\\xfealpha\\xfeGas leak at school\n"},
      {"JSON outside Windows-1252", kV4a,
       PostJson("{\"receivers\": [\"A\"], \"message\": \"Gas \xE2\x98\xA2\"}", auth),
       "400 Bad Request",
       "{\"sent\": false, \"error\": \"\\\"message\\\": the character \xE2\x98\xA2 (U+2622) "
       "has no place in Windows-1252\"}\n"},
      {"JSON invalid", kV4a, PostJson("{\"receivers\": [\"A\"", auth), "400 Bad Request",
       "~{\"sent\": false, \"error\": \"the body is not JSON ("},
      {"JSON without a message", kV4a, PostJson("{\"receivers\": [\"A\"]}", auth),
       "400 Bad Request",
       "{\"sent\": false, \"error\": \"\\\"message\\\" must be a text that is not empty\"}\n"},
      {"JSON to a missing page", kV4a, PostJson("{}", auth, "/b.htm"), "404 Not Found",
       "{\"sent\": false, \"error\": \"there is no such page\"}\n"},
      // The command buffer full: the alarm server takes nothing more.
      {"JSON filling the buffer", kV4a,
       PostJson("{\"receivers\": [\"A\"], \"message\": \"" + big + "\"}", auth), "200 OK",
       JsonSent("\"A\""), "-"},
      {"not taken", kV4a, PostRequest("message=m&receivers=A", auth), "503 Service Unavailable",
       page, "-"},
      {"JSON not taken", kV4a, PostJson("{\"receivers\": [\"A\"], \"message\": \"m\"}", auth),
       "503 Service Unavailable",
       "{\"sent\": false, \"error\": \"the alarm server did not take the message\"}\n", "-"},
      // Five messages in the minute: the limit.
      {"over the limit", kV4a, PostRequest("message=m&receivers=A", auth), "429 Too Many Requests",
       page, "-"},
      {"JSON over the limit", kV4a, PostJson("{\"receivers\": [\"A\"], \"message\": \"m\"}", auth),
       "429 Too Many Requests",
       "{\"sent\": false, \"error\": \"send limit reached: try again in a minute\"}\n", "-"},
      {"another address under its own limit", kV6, PostRequest("message=m&receivers=A", auth),
       "503 Service Unavailable", page, "FT:A\\xfe" + big + "\n"},
      {"refused address", kV4b, "GET /a.htm HTTP/1.0\r\n" + auth + "\r\n", "403 Forbidden",
       kRefusedPage},
      {"JSON from a refused address", kV4b, PostJson("{}", auth), "403 Forbidden",
       "{\"sent\": false, \"error\": \"this address may not use the server\"}\n"},
      {"no password", kV4a, "GET /a.htm HTTP/1.0\r\n\r\n", "401 Unauthorized",
       "~<h1>Password Required</h1>"},
      {"JSON without a password", kV6, PostJson("{}"), "401 Unauthorized",
       "{\"sent\": false, \"error\": \"a password is wanted (HTTP Basic)\"}\n"},
      {"JSON with a wrong password", kV6, PostJson("{}", Basic("u", "no")), "401 Unauthorized",
       "{\"sent\": false, \"error\": \"wrong password\"}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string answer = server.Fetch(c.from, c.request);
    EXPECT_EQ(StatusLine(answer), "HTTP/1.0 " + c.status);
    const bool json = c.request.find("application/json") != std::string::npos;
    EXPECT_NE(answer.find(json ? "\r\nContent-Type: application/json\r\n"
                               : "\r\nContent-Type: text/html; charset=windows-1252\r\n"),
              std::string::npos)
        << answer.substr(0, 200);
    if (c.body.rfind("~", 0) == 0) {
      EXPECT_NE(Body(answer).find(c.body.substr(1)), std::string::npos) << answer;
    } else {
      EXPECT_EQ(Body(answer), c.body);
    }
    if (c.commands != "-") {
      EXPECT_EQ(server.Velctl("commands --raw"), c.commands);
    }
  }
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.Err();  // and nothing from the sanitizers
}

// Debian's nginx in front, for HTTPS, with the server block of the README: the log and
// the send limit see the client's address, not the proxy's, whatever the client claims.
TEST(ServerProxy, ThroughNginxOverHttpsTheClientsAddressCounts) {
  for (const char* program : {"/usr/sbin/nginx", "/usr/bin/openssl", "/usr/bin/curl"}) {
    if (access(program, X_OK) != 0) {
      GTEST_SKIP() << program << " is missing: bash scripts/setup.sh installs it";
    }
  }
  Velweb server;
  ASSERT_TRUE(StartWith(server, "TrustProxy=127.0.0.1\r\nSendLimit=2\r\n"));
  const fs::path dir = server.dir() / "nginx";
  fs::create_directories(dir / "tmp");
  // As root, nginx's workers run as nobody: they write their temporary files here.
  fs::permissions(server.dir(), fs::perms::others_exec, fs::perm_options::add);
  fs::permissions(dir, fs::perms::others_exec, fs::perm_options::add);
  fs::permissions(dir / "tmp", fs::perms::all);
  const std::string d = dir.string();
  ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost "
                         "-addext subjectAltName=IP:127.0.0.1 -keyout '" +
                         d + "/key.pem' -out '" + d + "/cert.pem' >/dev/null 2>&1")
                            .c_str()),
            0);
  const int port = FreePort();
  // @ stands for the directory, PORT for nginx's port and VELWEB for the server's.
  std::string conf = R"(daemon off; worker_processes 1; pid @/nginx.pid; events {}
http {
  access_log off; client_body_temp_path @/tmp/body; proxy_temp_path @/tmp/proxy;
  fastcgi_temp_path @/tmp/fastcgi; uwsgi_temp_path @/tmp/uwsgi; scgi_temp_path @/tmp/scgi;
  server {
    listen 127.0.0.1:PORT ssl; ssl_certificate @/cert.pem; ssl_certificate_key @/key.pem;
    location / {
      proxy_pass http://127.0.0.1:VELWEB;
      proxy_set_header Host $http_host;
      proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
    }
  }
})";
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"PORT", std::to_string(port)}, {"VELWEB", std::to_string(server.port())}, {"@", d}})
    for (size_t at; (at = conf.find(from)) != std::string::npos;) conf.replace(at, from.size(), to);
  WriteFile(dir / "nginx.conf", conf);
  BackgroundProcess nginx(
      {"/usr/sbin/nginx", "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"},
      server.instance());
  ASSERT_TRUE(WaitFor([&] { return Client(port).connected(); })) << ReadFile(dir / "error.log");

  // A post from `from` through nginx; the body and, on a line of its own, the status.
  auto post = [&](const std::string& from, const std::string& type, const std::string& body,
                  const std::string& more = "") {
    return CommandOutput(
        "curl -sS --cacert '" + d + "/cert.pem' --interface " + from + more +
        " -H 'X-Forwarded-For: 10.9.9.9' -H 'Content-Type: " + type + "' --data '" + body +
        "' -w '\\n%{http_code}' https://127.0.0.1:" + std::to_string(port) + "/send.htm 2>&1");
  };
  const std::string form = "application/x-www-form-urlencoded";
  const std::string sent = "<p>sent to</p>\r\n<b>A</b>\r\nend\r\n\n200";
  EXPECT_EQ(post("127.0.0.2", form, "message=one&receivers=A"), sent);
  EXPECT_EQ(post("127.0.0.2", form, "message=two&receivers=A"), sent);
  EXPECT_EQ(post("127.0.0.2", form, "message=three&receivers=A"),
            "<p>sent to</p>\r\n<b>[Not Sent]</b>\r\nend\r\n\n429");
  EXPECT_EQ(
      post("127.0.0.3", "application/json", "{\"receivers\": [\"A\"], \"message\": \"four\"}"),
      "{\"sent\": true, \"receivers\": [\"A\"], \"waiting\": 3, \"alarmServerTaking\": "
      "true}\n\n200");
  // A page of the server itself, on a port other than 443: its Origin names the port, and
  // so does the Host that nginx passes on.
  EXPECT_EQ(post("127.0.0.4", form, "message=five&receivers=A",
                 " -H 'Origin: https://127.0.0.1:" + std::to_string(port) + "'"),
            sent);
  EXPECT_EQ(server.Velctl("commands --raw"),
            "FT:A\\xfeone\nFT:A\\xfetwo\nFT:A\\xfefour\nFT:A\\xfefive\n");
  EXPECT_EQ(LogCount(server, " WEB Received HTTP message request from 127.0.0.2\r\n", 2), 2u);
  EXPECT_EQ(LogCount(server, " WEB Send limit reached for 127.0.0.2\r\n"), 1u);
  EXPECT_EQ(LogCount(server, " WEB Received HTTP message request from 127.0.0.3\r\n"), 1u);
  const std::string log = server.Log();
  EXPECT_EQ(log.find("127.0.0.1"), std::string::npos) << log;
  EXPECT_EQ(log.find("10.9.9.9"), std::string::npos) << log;
  nginx.Kill(SIGQUIT);
}

}  // namespace
}  // namespace veltest
