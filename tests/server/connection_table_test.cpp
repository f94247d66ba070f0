// The connection table on its own: real clients on loopback through the table's own
// listener, the event loop turned by the test, and a clock the test sets.
#include "connection_table.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>

#include "net.h"

namespace veltest {
namespace {

using vel::ConnectionState;
using vel::ConnectionTable;
using vel::EndReason;
using vel::ResponseSender;
using vel::ServerLimits;

constexpr const char* kAnswer = "answer\r\n";

class ConnectionTableTest : public ::testing::Test {
 protected:
  using Ended = std::pair<int, EndReason>;

  void Start(ServerLimits limits = {}) {
    table_ = std::make_unique<ConnectionTable>(limits, [this] { return now_; });
    ConnectionTable::Events events;
    events.request = [this](int index, const vel::HttpRequest& request) {
      requests_.push_back(request.Text());
      onRequest_(index, request.Text());
    };
    events.refused = [this](int index, int status) {
      refusals_.push_back(status);
      table_->End(index, EndReason::kRequestRefused);
    };
    events.handOverLate = [](int) {};
    events.ended = [this](int index, EndReason reason) { ended_.emplace_back(index, reason); };
    table_->SetEvents(std::move(events));
    table_->Listener().SetLocalAddress("127.0.0.1");
    table_->Listener().SetLocalPort(FreePort());
    ASSERT_TRUE(table_->Listener().Listen());
    port_ = table_->Listener().LocalPort();
  }

  // Turns the event loop until `done` holds; false when 5 s passed first.
  bool WaitFor(const std::function<bool()>& done) {
    QTimer wake;  // `done` may look at what is no event of the loop's (a client's socket)
    wake.start(10);
    const auto end = Clock::now() + milliseconds(5000);
    while (!done()) {
      if (Clock::now() >= end) return false;
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
  }
  // Turns the event loop for `time`: for what must not happen meanwhile.
  void Turn(milliseconds time) {
    const auto end = Clock::now() + time;
    WaitFor([&] { return Clock::now() >= end; });
  }

  // The open connection accepted at `acceptedMs` on the test's clock; -1 when none.
  int IndexOf(int64_t acceptedMs) const {
    for (size_t i = 0; i < table_->Size(); ++i) {
      const vel::Connection& c = table_->At(static_cast<int>(i));
      if (c.state != ConnectionState::kFree && c.acceptedMs == acceptedMs) {
        return static_cast<int>(i);
      }
    }
    return -1;
  }

  // A client connected at `acceptedMs` that has sent `bytes`, once the table has them.
  std::unique_ptr<Client> Connect(int64_t acceptedMs, const std::string& bytes = "") {
    now_ = acceptedMs;
    auto client = std::make_unique<Client>(port_);
    EXPECT_TRUE(client->connected());
    const size_t requests = requests_.size();
    if (!bytes.empty()) client->Send(bytes);
    EXPECT_TRUE(WaitFor([&] {
      const int index = IndexOf(acceptedMs);
      return requests_.size() > requests ||
             (index >= 0 && table_->At(index).RequestBuffer.size() == bytes.size());
    })) << bytes;
    return client;
  }

  void Answer(int index, const std::string& text) {
    table_->Queue(index, std::make_unique<ResponseSender>(std::vector<std::string>{text}));
  }

  // Everything the client gets until the server ends the connection.
  std::string ReadToEnd(Client& client, int* error = nullptr) {
    std::string data;
    bool closed = false;
    EXPECT_TRUE(WaitFor([&] {
      data += client.ReadNow(SIZE_MAX, &closed, error);
      return closed;
    }));
    return data;
  }

  int64_t now_ = 0;
  std::unique_ptr<ConnectionTable> table_;
  int port_ = 0;
  std::function<void(int, const std::string&)> onRequest_ = [this](int index, const std::string&) {
    Answer(index, kAnswer);
  };
  std::vector<std::string> requests_;
  std::vector<int> refusals_;
  std::vector<Ended> ended_;
};

// ---------------------------------------------------------------------------------------
// Room for a new client when every place is taken.

struct Occupant {
  int64_t acceptedMs;
  std::string sent;  // nothing, part of a request, or a whole one (then it waits for its answer)
};

constexpr int kGraceMs = 1000;
const std::string kWhole = "GET /held HTTP/1.0\r\n\r\n";
const std::string kNew = "GET /new HTTP/1.0\r\n\r\n";

TEST_F(ConnectionTableTest, RoomIsMadeFromTheOldestIdleConnectionPastTheGrace) {
  const struct {
    const char* name;
    std::vector<Occupant> occupants;
    int64_t arrivesMs;  // the new client
    int dropped;        // the occupant closed for it; -1: none, the new client waits
  } cases[] = {
      {"the oldest silent one", {{0, ""}, {100, ""}, {200, ""}}, 1500, 0},
      {"a silent one before an older unfinished one", {{0, "GET /"}, {100, ""}}, 1500, 1},
      {"an unfinished one when none is silent", {{0, "GET /"}, {100, "GET /a"}}, 1500, 0},
      {"never one that sent its whole request", {{0, kWhole}, {100, "GET /"}}, 1500, 1},
      {"none younger than the grace", {{0, ""}, {600, ""}}, 990, -1},
      {"none past its request", {{0, kWhole}, {100, kWhole}}, 50000, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServerLimits limits;
    limits.maxConnections = static_cast<int>(c.occupants.size());
    limits.idleGraceMs = kGraceMs;
    Start(limits);
    ended_.clear();
    requests_.clear();
    // A whole request waits for its answer (as for its password to be checked).
    onRequest_ = [this](int index, const std::string& request) {
      if (request == kNew) return Answer(index, kAnswer);
      table_->AwaitPassword(index);
    };
    std::vector<std::unique_ptr<Client>> occupants;
    for (const Occupant& o : c.occupants) occupants.push_back(Connect(o.acceptedMs, o.sent));
    now_ = c.arrivesMs;
    Client newcomer(port_);
    ASSERT_TRUE(newcomer.Send(kNew));
    Ended made{IndexOf(c.occupants[std::max(c.dropped, 0)].acceptedMs), EndReason::kMadeRoom};
    if (c.dropped < 0) {
      Turn(milliseconds(150));  // the clock stands still meanwhile
      EXPECT_TRUE(ended_.empty());
      // Taken once a place is free: one that passes the grace, or one that ends.
      if (c.occupants[0].sent.empty()) {
        now_ = kGraceMs;
      } else {
        made.second = EndReason::kServed;
        table_->End(made.first, made.second);
      }
    }
    EXPECT_EQ(ReadToEnd(newcomer), kAnswer);
    ASSERT_FALSE(ended_.empty());
    EXPECT_EQ(ended_.front(), made);
    EXPECT_EQ(ReadToEnd(*occupants[std::max(c.dropped, 0)]), "");
    EXPECT_EQ(std::count(requests_.begin(), requests_.end(), kNew), 1);
  }
}

// ---------------------------------------------------------------------------------------
// A request as its bytes come.

TEST_F(ConnectionTableTest, ARequestInPiecesIsTakenOnceWholeAndNothingPastItsEnd) {
  const std::string post = "POST /send.htm HTTP/1.0\r\nContent-Length: 20\r\n\r\n";
  std::vector<std::string> bytes;
  for (const char c : std::string("POST / HTTP/1.0\r\ncontent-length: 3\r\n\r\nabc")) {
    bytes.emplace_back(1, c);
  }
  const struct {
    const char* name;
    std::vector<std::string> pieces;
    std::string request;
  } cases[] = {
      {"request line in pieces",
       {"GET /ind", "ex.htm HTTP/1.0\r", "\n\r", "\n"},
       "GET /index.htm HTTP/1.0\r\n\r\n"},
      {"body after its header",
       {post, "message=Hi&recei", "vers=A"},
       post + "message=Hi&receivers"},
      {"a byte at a time", bytes, "POST / HTTP/1.0\r\ncontent-length: 3\r\n\r\nabc"},
      {"stray bytes behind the body",
       {"POST / HTTP/1.0\r\nContent-Length: 2\r\n\r\nab\r\nGET / HTTP/1.0\r\n\r\n"},
       "POST / HTTP/1.0\r\nContent-Length: 2\r\n\r\nab"},
  };
  Start();
  // Unfinished all along: it holds nobody up.
  auto unfinished = Connect(-1, "GET /page.htm HTTP/1.0\r\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    requests_.clear();
    now_ += 1;
    Client client(port_);
    size_t sent = 0;
    for (const std::string& piece : c.pieces) {
      ASSERT_TRUE(client.Send(piece));
      sent += piece.size();
      ASSERT_TRUE(WaitFor([&] {
        const int index = IndexOf(now_);
        return !requests_.empty() || (index >= 0 && table_->At(index).RequestBuffer.size() == sent);
      }));
      if (sent < c.request.size()) {
        EXPECT_TRUE(requests_.empty()) << "taken before it was whole";
      }
    }
    EXPECT_EQ(ReadToEnd(client), kAnswer);
    EXPECT_EQ(requests_, std::vector<std::string>{c.request});
    EXPECT_EQ(ended_.back().second, EndReason::kServed);
  }
  requests_.clear();
  ASSERT_TRUE(unfinished->Send("\r\n"));
  EXPECT_EQ(ReadToEnd(*unfinished), kAnswer);
  EXPECT_EQ(requests_, std::vector<std::string>{"GET /page.htm HTTP/1.0\r\n\r\n"});
}

TEST_F(ConnectionTableTest, ATooLongRequestOrALengthThatIsNoNumberIsRefusedOnce) {
  const struct {
    const char* name;
    std::string bytes;
    int status;
  } cases[] = {
      {"no header end within the limit", std::string(1500, 'x'), 413},
      {"a header block past the limit", "GET /" + std::string(1100, 'a') + " HTTP/1.0\r\n\r\n",
       413},
      {"a declared body past the limit", "POST / HTTP/1.0\r\nContent-Length: 2000\r\n\r\n", 413},
      {"a length that is no number", "POST / HTTP/1.0\r\nContent-Length: 1e3\r\n\r\n", 400},
  };
  ServerLimits limits;
  limits.maxRequestBytes = 1024;
  Start(limits);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    refusals_.clear();
    ended_.clear();
    Client client(port_);
    client.Send(c.bytes);  // may be cut off before all of it is sent
    ReadToEnd(client);
    EXPECT_EQ(refusals_, std::vector<int>{c.status});
    ASSERT_EQ(ended_.size(), 1u);
    EXPECT_EQ(ended_[0].second, EndReason::kRequestRefused);
  }
  EXPECT_TRUE(requests_.empty());
}

// ---------------------------------------------------------------------------------------
// How connections end, and what they leave behind.

TEST_F(ConnectionTableTest, EachEndIsToldWithItsReasonAndLeavesNothingBehind) {
  const struct {
    const char* name;
    std::function<void(std::unique_ptr<Client>&)> then;
    EndReason reason;
  } cases[] = {
      {"closed before its request was whole", [](auto& client) { client.reset(); },
       EndReason::kClientClosed},
      {"closed with a reset", [](auto& client) { client->Reset(); }, EndReason::kSocketError},
      {"not whole within the request limit", [](auto&) {}, EndReason::kRequestTimedOut},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServerLimits limits;
    if (c.reason == EndReason::kRequestTimedOut) limits.requestTimeoutMs = 200;
    Start(limits);
    ended_.clear();
    requests_.clear();
    auto client = Connect(++now_, "GET /pa");
    const int index = IndexOf(now_);
    c.then(client);
    ASSERT_TRUE(WaitFor([&] { return !ended_.empty(); }));
    EXPECT_EQ(ended_, (std::vector<Ended>{{index, c.reason}}));
    EXPECT_EQ(table_->Active(), 0);
    // The next connection in the same place: a leftover "GET /pa" would be in front.
    auto next = Connect(++now_, "GET /a.htm HTTP/1.0\r\n\r\n");
    EXPECT_EQ(ReadToEnd(*next), kAnswer);
    EXPECT_EQ(ended_.back(), (Ended{index, EndReason::kServed}));
    EXPECT_EQ(requests_, std::vector<std::string>{"GET /a.htm HTTP/1.0\r\n\r\n"});
  }
}

TEST_F(ConnectionTableTest, AnAnswerIsResetOnlyWhenTheClientTakesNothingForTheSendLimit) {
  constexpr int kSendMs = 200;  // looked at every 50 ms
  ServerLimits limits;
  limits.sendTimeoutMs = kSendMs;
  Start(limits);
  const std::string answer(8 * 1024 * 1024, 'z');
  onRequest_ = [&](int index, const std::string&) { Answer(index, answer); };
  Client client(port_, 4096);
  ASSERT_TRUE(client.Send("GET /big HTTP/1.0\r\n\r\n"));
  ASSERT_TRUE(WaitFor([&] { return IndexOf(0) >= 0 && !requests_.empty(); }));
  const int index = IndexOf(0);
  std::string taken;
  // Slow but steady: far longer than the limit in all, never that long without progress.
  for (int step = 0; step < 4; ++step) {
    now_ += kSendMs * 3 / 4;
    const size_t before = taken.size();
    ASSERT_TRUE(WaitFor([&] {
      if (taken.size() - before < 65536) taken += client.ReadNow(4096);  // a little
      return table_->At(index).progressMs == now_;
    })) << step;
  }
  EXPECT_EQ(table_->At(index).state, ConnectionState::kResponding);
  EXPECT_TRUE(ended_.empty());
  // Stalled: reset, so that the client cannot take what it got for the whole answer.
  ASSERT_TRUE(WaitFor([&] {
    now_ += 20;
    return !ended_.empty();
  }));
  EXPECT_EQ(ended_, (std::vector<Ended>{{index, EndReason::kSendStalled}}));
  int error = 0;
  taken += ReadToEnd(client, &error);
  EXPECT_EQ(error, ECONNRESET);
  EXPECT_LT(taken.size(), answer.size());
}

TEST_F(ConnectionTableTest, AnAnswerWaitsForADescriptorUntilTheSendLimit) {
  Start();
  bool descriptorFree = false;
  int tries = 0;
  std::function<void(int)> answer = [&](int index) {
    ++tries;
    if (descriptorFree) return Answer(index, kAnswer);
    table_->AwaitDescriptor(index, [&answer, index] { answer(index); });
  };
  onRequest_ = [&](int index, const std::string&) { answer(index); };
  auto waits = Connect(0, "GET / HTTP/1.0\r\n\r\n");  // made again until one is free
  ASSERT_TRUE(WaitFor([&] { return tries >= 3; }));
  EXPECT_EQ(table_->At(IndexOf(0)).state, ConnectionState::kAwaitingDescriptor);
  descriptorFree = true;
  EXPECT_EQ(ReadToEnd(*waits), kAnswer);
  descriptorFree = false;
  auto late = Connect(10, "GET / HTTP/1.0\r\n\r\n");  // none free within the send limit
  const int index = IndexOf(10);
  now_ += ServerLimits().sendTimeoutMs;
  int error = 0;
  EXPECT_EQ(ReadToEnd(*late, &error), "");
  EXPECT_EQ(error, ECONNRESET);
  EXPECT_EQ(ended_.back(), (Ended{index, EndReason::kAnswerBroken}));
}

}  // namespace
}  // namespace veltest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
