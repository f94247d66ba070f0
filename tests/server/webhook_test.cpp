// Notifications from monitoring systems and plain-text posts through the real velweb:
// payloads as Alertmanager and Grafana post them, to the addresses the README configures
// them with, and the command entries, status codes and retries that follow.
#include <gtest/gtest.h>

#include "http_text.h"
#include "velweb_process.h"

namespace veltest {
namespace {

// The path and query of the first address in the README that reaches `path`.
std::string ReadmeTarget(const std::string& path) {
  const std::string readme = ReadFile(VELWEB_README);
  const size_t at = readme.find(path + "?");
  if (at == std::string::npos) return "(not in the README)";
  return readme.substr(at, readme.find_first_of("'\" \r\n", at) - at);
}

std::string Post(const std::string& target, const std::string& type, const std::string& body,
                 const std::string& head) {
  return "POST " + target + " HTTP/1.1\r\nHost: alarm.example.org\r\n" + head +
         "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

std::string Alert(const std::string& status, const std::string& labels,
                  const std::string& annotations) {
  return R"({"status":")" + status + R"(","labels":{)" + labels + R"(},"annotations":{)" +
         annotations +
         R"(},"startsAt":"2026-12-08T10:00:00.000Z","endsAt":"0001-01-01T00:00:00Z",)"
         R"("generatorURL":"http://prometheus:9090/graph?g0.expr=up","fingerprint":"3f1c2b7a"})";
}

std::string Alerts(const std::vector<std::string>& alerts) {
  std::string list;
  for (const std::string& alert : alerts) list += (list.empty() ? "" : ",") + alert;
  return "[" + list + "]";
}

// As Alertmanager's webhook receiver posts it (version 4).
std::string Alertmanager(const std::string& status, const std::vector<std::string>& alerts,
                         int truncated = 0) {
  return R"({"version":"4","groupKey":"{}:{alertname=\"DiskFull\"}","truncatedAlerts":)" +
         std::to_string(truncated) + R"(,"status":")" + status +
         R"(","receiver":"velweb-pagers","groupLabels":{"alertname":"DiskFull"},)"
         R"("commonLabels":{"severity":"page"},"commonAnnotations":{},)"
         R"("externalURL":"http://alertmanager:9093","alerts":)" +
         Alerts(alerts) + "}";
}

// As Grafana's webhook contact point posts it.
std::string Grafana(const std::string& status, const std::vector<std::string>& alerts,
                    const std::string& title) {
  return R"({"receiver":"velweb-pagers","status":")" + status + R"(","orgId":1,"alerts":)" +
         Alerts(alerts) +
         R"(,"groupLabels":{},"commonLabels":{},"commonAnnotations":{},)"
         R"("externalURL":"http://grafana:3000/","version":"1","groupKey":"{}","truncatedAlerts":0,)"
         R"("title":")" +
         title + R"(","state":"alerting","message":"**Firing**\n\nValue: 97"})";
}

const std::string kJson = "application/json";

class WebhookTest : public ::testing::Test {
 protected:
  // `headers` as the Headers key, `access` as the [Access] section.
  void Start(const std::string& headers, const std::string& access) {
    server_.Put("Send.Htm", "<p>sent to</p>\r\n<b>[SUBMITTEDONES]</b>\r\nend");
    server_.SetProfile(std::to_string(server_.port()), headers,
                       "Hosts=alarm.example.org\r\n[Access]\r\n" + access);
    ASSERT_TRUE(server_.Start()) << server_.Err();
  }
  Velweb server_;
  const std::string am_ = ReadmeTarget("/alertmanager");
  const std::string grafana_ = ReadmeTarget("/grafana");
};

TEST_F(WebhookTest, NotificationsAndPlainTextBecomeCommandEntries) {
  Start("1", server_.PasswordLine("pw") + "\r\n");
  const std::string auth = Basic("alertmanager", "pw");
  const std::string pagers = "FT:Fire Brigade\\xfeAlpha Team\\xfe";
  const std::string sent = JsonSent(R"("Fire Brigade", "Alpha Team")");
  const std::string sentFire = JsonSent(R"("Fire Brigade")");
  const std::string db1 = Alert("firing", R"("alertname":"DiskFull","instance":"db1:9100")",
                                R"("summary":"Disk full on db1","description":"/var at 99%")");
  // More than the command buffer holds: 60 alerts of 98 characters, and 5 that
  // Alertmanager left out itself. 40 fit with the count of the rest.
  std::vector<std::string> many;
  std::string fitting = "FIRING:";
  for (int n = 0; n < 60; ++n) {
    const std::string summary = "Alert " + std::to_string(10 + n) + " " + std::string(89, 'x');
    many.push_back(Alert("firing", R"("alertname":"Many")", R"("summary":")" + summary + "\""));
    if (n < 40) fitting += (n == 0 ? " " : "; ") + summary;
  }
  struct Case {
    const char* what;
    std::string request;
    std::string status;
    std::string body;     // the whole body, or with a leading "~" a piece of it
    std::string command;  // as velctl shows it; empty: nothing handed over
  };
  const std::vector<Case> cases = {
      {"firing, with a resolved alert",
       Post(am_, kJson,
            Alertmanager("firing", {Alert("resolved", R"("alertname":"DiskFull","instance":"db2")",
                                          R"("summary":"Disk full on db2")"),
                                    db1}),
            auth),
       "200 OK", sent,
       pagers + "FIRING: Disk full on db1 (db1:9100); RESOLVED: Disk full on db2 (db2)"},
      {"resolved, description and alert name only",
       Post(am_, kJson,
            Alertmanager(
                "resolved",
                {Alert("resolved", R"("alertname":"FanFailed","instance":"rack4")",
                       R"("description":"K\u00fchlung \u2622 aus,\nrack 4 ")"),
                 Alert("resolved", R"("alertname":"HighLoad")", ""), R"({"status":"resolved"})"}),
            auth),
       "200 OK", sent, pagers + "RESOLVED: K\\xfchlung ? aus, rack 4 (rack4); HighLoad; alert"},
      {"more than fits", Post(am_, kJson, Alertmanager("firing", many, 5), auth), "200 OK", sent,
       pagers + fitting + " (+25 more)"},
      // Grafana 10 always sends its default title, which names no alert.
      {"Grafana with its default title",
       Post(grafana_, kJson, Grafana("firing", {db1, db1}, "[FIRING:2] Infra (blue)"), auth),
       "200 OK", sentFire,
       "FT:Fire Brigade\\xfeFIRING: Disk full on db1 (db1:9100); Disk full on db1 (db1:9100)"},
      {"Grafana with a title of its own",
       Post(grafana_, kJson, Grafana("firing", {db1}, "Storage"), auth), "200 OK", sentFire,
       "FT:Fire Brigade\\xfeStorage: FIRING: Disk full on db1 (db1:9100)"},
      {"Grafana without a title", Post(grafana_, kJson, Grafana("firing", {db1}, ""), auth),
       "200 OK", sentFire, "FT:Fire Brigade\\xfeFIRING: Disk full on db1 (db1:9100)"},
      {"Grafana resolved, resolved=0",
       Post(grafana_, kJson, Grafana("resolved", {Alert("resolved", "", "")}, "[RESOLVED]"), auth),
       "200 OK",
       "{\"sent\": false, \"skipped\": \"resolved notifications are not sent (resolved=0)\"}\n",
       ""},
      {"not JSON", Post(am_, kJson, "{\"status\":", auth), "400 Bad Request",
       "~{\"sent\": false, \"error\": \"the body is not JSON (", ""},
      {"a message, not a notification",
       Post(am_, kJson, R"({"receivers": ["A"], "message": "m"})", auth), "400 Bad Request",
       "{\"sent\": false, \"error\": \"the body is no Alertmanager notification: it needs "
       "\\\"status\\\" (\\\"firing\\\" or \\\"resolved\\\") and \\\"alerts\\\" (a list)\"}\n",
       ""},
      {"no alerts", Post(am_, kJson, Alertmanager("firing", {}), auth), "400 Bad Request",
       "{\"sent\": false, \"error\": \"\\\"alerts\\\" holds no alert\"}\n", ""},
      {"no receivers", Post("/alertmanager", kJson, Alertmanager("firing", {db1}), auth),
       "400 Bad Request", "~no receivers: name them in the address", ""},
      {"no password", Post(am_, kJson, Alertmanager("firing", {db1}), ""), "401 Unauthorized",
       "~a password is wanted", ""},
      {"plain text",
       Post("/send.htm?receivers=Fire+Brigade", "text/plain; charset=utf-8",
            "Gas leak at school \xE2\x82\xAC\r\n", auth),
       "200 OK", sentFire, "FT:Fire Brigade\\xfeGas leak at school \\x80"},
      {"plain text outside Windows-1252",
       Post("/send.htm?receivers=A", "text/plain", "Gas \xE2\x98\xA2", auth), "400 Bad Request",
       "~the character \xE2\x98\xA2 (U+2622) has no place in Windows-1252", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string answer = server_.Fetch(c.request);
    EXPECT_EQ(StatusLine(answer), "HTTP/1.0 " + c.status);
    EXPECT_NE(answer.find("\r\nContent-Type: application/json\r\n"), std::string::npos) << answer;
    if (c.body.rfind("~", 0) == 0) {
      EXPECT_NE(Body(answer).find(c.body.substr(1)), std::string::npos) << answer;
    } else {
      EXPECT_EQ(Body(answer), c.body);
    }
    EXPECT_EQ(server_.Velctl("commands --raw"), c.command.empty() ? "" : c.command + "\n");
  }
  // One line per request, naming its source.
  const std::string received = "WEB Received Alertmanager notification from 127.0.0.1\r\n";
  // The last message's line: all are written by then.
  ASSERT_TRUE(server_.LogShows("WEB Received HTTP message request from 127.0.0.1\r\n"))
      << server_.Log();
  const std::string log = server_.Log();
  EXPECT_EQ(CountOf(log, received), 3u) << log;
  EXPECT_EQ(CountOf(log, "WEB Received bad "), 1u) << "five bad ones, coalesced\n" << log;
  for (const char* line :
       {"WEB Received Grafana notification from 127.0.0.1\r\n",
        "WEB Received resolved Grafana notification from 127.0.0.1, not sent (resolved=0)\r\n",
        "WEB Received bad Alertmanager notification from 127.0.0.1\r\n",
        "WEB Received HTTP message request from 127.0.0.1\r\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

// A receiver that the receiver file does not hold pages nobody: with KnownReceiversOnly=1
// nothing is handed over, with 0 it is, and the answer says which names are unknown.
TEST(WebhookReceivers, UnknownReceiversAreSaidBothWays) {
  const std::string firing =
      Alertmanager("firing", {Alert("firing", R"("alertname":"DiskFull")", "")});
  for (const bool knownOnly : {true, false}) {
    SCOPED_TRACE(knownOnly);
    Velweb server;
    server.Put("Send.Htm", "<b>[SUBMITTEDONES]</b>");
    server.Velctl("receivers write '" + (server.dir() / "vel_rcv.dat").string() +
                  "' 'Fire Brigade' 'Alpha Team'");
    server.SetProfile(std::to_string(server.port()), "1",
                      std::string("Hosts=alarm.example.org\r\n[Access]\r\nKnownReceiversOnly=") +
                          (knownOnly ? "1" : "0"));
    ASSERT_TRUE(server.Start()) << server.Err();
    struct Case {
      std::string request;
      std::string refused;  // the answer with KnownReceiversOnly=1 (nothing handed over)
      std::string sent;     // the answer with 0
      std::string command;  // handed over with 0
    };
    const std::vector<Case> cases = {
        {Post("/alertmanager?receivers=Fire+Brigad&receivers=Alpha+Team", kJson, firing, ""),
         "{\"sent\": false, \"error\": \"the receiver file holds no receiver Fire Brigad: "
         "nothing was sent\"}\n",
         "{\"sent\": true, \"receivers\": [\"Fire Brigad\", \"Alpha Team\"], \"unknown\": "
         "[\"Fire Brigad\"], \"waiting\": 1, \"alarmServerTaking\": true}\n",
         "FT:Fire Brigad\\xfeAlpha Team\\xfeFIRING: DiskFull"},
        {Post("/send.htm", "application/x-www-form-urlencoded", "message=m&receivers=Nobody", ""),
         "<b>[Not Sent]</b>\r\n", "<b>Nobody</b>\r\n", "FT:Nobody\\xfem"},
        {Post("/alertmanager?receivers=Alpha+Team", kJson, firing, ""), "",
         JsonSent(R"("Alpha Team")"), "FT:Alpha Team\\xfeFIRING: DiskFull"},
    };
    for (const Case& c : cases) {
      const std::string answer = server.Fetch(c.request);
      const bool refused = knownOnly && !c.refused.empty();
      EXPECT_EQ(StatusLine(answer), refused ? "HTTP/1.0 400 Bad Request" : "HTTP/1.0 200 OK");
      EXPECT_EQ(Body(answer), refused ? c.refused : c.sent);
      EXPECT_EQ(server.Velctl("commands --raw"), refused ? "" : c.command + "\n");
    }
    // Said once a minute for the client, the later names included.
    const std::string line =
        knownOnly ? "WEB Refused Alertmanager notification from 127.0.0.1: the receiver file holds "
                    "no receiver Fire Brigad\r\n"
                  : "WEB Alertmanager notification from 127.0.0.1 names receivers the receiver "
                    "file does not hold: Fire Brigad\r\n";
    EXPECT_TRUE(server.LogShows(line)) << server.Log();
    EXPECT_EQ(CountOf(server.Log(), "Nobody"), 0u) << server.Log();
  }
}

// A flood of every kind of request that is not handed over, from several addresses, with
// the shipped settings: a line a minute per kind and address, however many come.
TEST(ServerLog, AFloodOfEveryKindGrowsTheLogByOneLineAKindAndAddress) {
  Velweb server;
  server.Put("Send.Htm", "<b>[SUBMITTEDONES]</b>");
  server.Velctl("receivers write '" + (server.dir() / "vel_rcv.dat").string() + "' A");
  server.SetProfile(
      std::to_string(server.port()), "1",
      "Hosts=alarm.example.org\r\n[Access]\r\nSendLimit=30\r\nKnownReceiversOnly=1\r\n");
  ASSERT_TRUE(server.Start()) << server.Err();
  const std::string form = "application/x-www-form-urlencoded";
  // The command buffer filled: the alarm server takes nothing more.
  ASSERT_EQ(StatusLine(server.Fetch(
                Post("/send.htm", form, "message=" + std::string(4088, 'x') + "&receivers=A", ""))),
            "HTTP/1.0 200 OK");
  const std::string resolved =
      Alertmanager("resolved", {Alert("resolved", R"("alertname":"DiskFull")", "")});
  const std::vector<std::string> kinds = {
      Post("/alertmanager?receivers=A&resolved=0", kJson, resolved, ""),  // skipped
      Post("/alertmanager?receivers=A", kJson, "{\"status\":", ""),       // bad
      Post("/send.htm", form, "message=m&receivers=Nobody", ""),          // unknown receiver
      Post("/send.htm", form, "message=m&receivers=A", ""),     // not taken, then the send limit
      "GET /a.htm HTTP/1.1\r\nHost: attacker.example\r\n\r\n",  // another host name
  };
  const size_t before = server.Log().size();
  constexpr int kAddresses = 4, kEach = 40;
  for (int a = 0; a < kAddresses; ++a) {
    const From from{"127.0.0." + std::to_string(2 + a)};
    for (const std::string& request : kinds) {
      for (int i = 0; i < kEach; ++i) ASSERT_NE(server.Fetch(from, request), "");
    }
  }
  EXPECT_EQ(server.Stop(SIGTERM), 0);  // every line written
  const std::string log = server.Log().substr(before);
  for (const char* piece :
       {"WEB Received resolved Alertmanager notification from 127.0.0.",
        "WEB Received bad Alertmanager notification from 127.0.0.",
        "WEB Refused HTTP message request from 127.0.0.", "WEB Received HTTP message request from",
        "WEB Could not pass HTTP message request from", "WEB Send limit reached for",
        "for the host name attacker.example"}) {
    EXPECT_EQ(CountOf(log, piece), static_cast<size_t>(kAddresses)) << piece << "\n" << log;
  }
  EXPECT_LT(CountOf(log, "\r\n"), 8u * kAddresses + 1) << log;
}

TEST_F(WebhookTest, AFullBufferIsRetriedAndTheSameNotificationGoesThroughAfterADrain) {
  // Without header fields for pages: a monitoring system gets its status line all the same.
  Start("0", "SendLimit=2\r\nAllowFrom=127.0.0.1 127.0.0.2\r\n");
  const std::string big(4088, 'x');  // the command buffer holds nothing more
  const std::string fill = "message=" + big + "&receivers=A";
  ASSERT_NE(server_
                .Fetch(From{"127.0.0.2"},
                       Post("/send.htm", "application/x-www-form-urlencoded", fill, ""))
                .find("<b>A</b>"),
            std::string::npos);
  const std::string notification = Post(
      am_, kJson, Alertmanager("firing", {Alert("firing", R"("alertname":"DiskFull")", "")}), "");
  EXPECT_EQ(StatusLine(server_.Fetch(From{"127.0.0.3"}, notification)), "HTTP/1.0 403 Forbidden");
  std::string answer = server_.Fetch(notification);
  EXPECT_EQ(StatusLine(answer), "HTTP/1.0 503 Service Unavailable");
  EXPECT_NE(answer.find("\r\nRetry-After: 5\r\n"), std::string::npos) << answer;
  EXPECT_EQ(Body(answer),
            "{\"sent\": false, \"error\": \"the alarm server did not take the message\"}\n");

  EXPECT_EQ(server_.Velctl("commands --raw"), "FT:A\\xfe" + big + "\n");
  answer = server_.Fetch(notification);
  EXPECT_EQ(StatusLine(answer), "HTTP/1.0 200 OK");
  EXPECT_EQ(server_.Velctl("commands --raw"),
            "FT:Fire Brigade\\xfeAlpha Team\\xfeFIRING: DiskFull\n");
  // Past the send limit: retried a minute later, not given up as a 429 would be.
  answer = server_.Fetch(notification);
  EXPECT_EQ(StatusLine(answer), "HTTP/1.0 503 Service Unavailable");
  EXPECT_NE(answer.find("\r\nRetry-After: 60\r\n"), std::string::npos) << answer;
  EXPECT_EQ(server_.Velctl("commands --raw"), "");
  EXPECT_TRUE(server_.LogShows("WEB Could not pass Alertmanager notification from 127.0.0.1\r\n"))
      << server_.Log();
}

}  // namespace
}  // namespace veltest
