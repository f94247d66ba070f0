#include "connection_table.h"

#include <sys/resource.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "exchange_worker.h"
#include "request.h"

namespace vel {

namespace {

// Descriptors kept for what is not a connection: files, the log, the library, Qt's own,
// and connections that drain after their answer.
constexpr int kSpareDescriptors = 64;
// How soon an answer that found no descriptor free tries again.
constexpr int kDescriptorRetryMs = 100;
// How long a post whose client has closed its side keeps its turn: a client that only
// shut down its sending side is still answered, one that left is not handed over.
constexpr int64_t kLeftClientWaitMs = 250;

int EnvMilliseconds(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value <= 0 || value > 24L * 3600 * 1000) return fallback;
  return static_cast<int>(value);
}

// Raises this process's descriptor limit as far as the system lets it; the limit.
int64_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? INT32_MAX : static_cast<int64_t>(limit.rlim_cur);
}

}  // namespace

ServerLimits ServerLimits::FromEnvironment() {
  ServerLimits limits;
  limits.requestTimeoutMs = EnvMilliseconds("VELWEB_REQUEST_TIMEOUT_MS", limits.requestTimeoutMs);
  limits.sendTimeoutMs = EnvMilliseconds("VELWEB_SEND_TIMEOUT_MS", limits.sendTimeoutMs);
  limits.idleGraceMs = EnvMilliseconds("VELWEB_IDLE_GRACE_MS", limits.idleGraceMs);
  return limits;
}

ConnectionTable::ConnectionTable(ServerLimits limits, std::function<int64_t()> clock)
    : limits_(limits), now_(std::move(clock)) {
  Winsock_HTTP_Connect.ConnectionRequest = [this](int32_t id) {
    Winsock_HTTP_Connect_ConnectionRequest(id);
  };
  Winsock_HTTP.DataArrival = [this](int index) { Winsock_HTTP_DataArrival(index); };
  Winsock_HTTP.SendComplete = [this](int index) { Winsock_HTTP_SendComplete(index); };
  Winsock_HTTP.CloseEvent = [this](int index) { Winsock_HTTP_Close(index); };
  Winsock_HTTP.Error = [this](int index) { End(index, EndReason::kSocketError); };
  Winsock_HTTP.TimeLimit = [this](int index) { Winsock_HTTP_TimeLimit(index); };

  roomTimer_.setSingleShot(true);
  QObject::connect(&roomTimer_, &QTimer::timeout,
                   [this] { Winsock_HTTP_Connect.AnnouncePending(); });
}

void ConnectionTable::FitToDescriptors() {
  limits_.maxConnections = static_cast<int>(
      std::clamp<int64_t>(RaiseDescriptorLimit() - kSpareDescriptors, 1, limits_.maxConnections));
}

void ConnectionTable::Winsock_HTTP_Connect_ConnectionRequest(int32_t requestId) {
  if (activeConnections_ >= limits_.maxConnections) {
    int64_t retryMs = 0;
    const int victim = ConnectionToDrop(retryMs);
    if (victim < 0) {
      // The client waits in the backlog until a connection ends, or one passes the grace.
      if (retryMs > 0 && !roomTimer_.isActive()) roomTimer_.start(static_cast<int>(retryMs));
      return;
    }
    End(victim, EndReason::kMadeRoom);
  }
  const int index = Winsock_HTTP.Accept(Winsock_HTTP_Connect, requestId);
  if (index < 0) return;
  if (static_cast<size_t>(index) >= connections_.size()) connections_.resize(index + 1);
  Connection& c = connections_[index];
  c.state = ConnectionState::kReceiving;
  c.acceptedMs = now_();
  c.requestWithoutBody = false;
  c.requestLineEnded = false;
  c.versionless = false;
  c.refusedFault = nullptr;
  c.client.reset();
  c.headOnly = false;
  c.continueChecked = false;
  c.wantedBytes = 0;
  c.headerBytes = 0;
  c.statusRequest = false;
  ++activeConnections_;
  Winsock_HTTP.SetTimeLimit(index, limits_.requestTimeoutMs);
}

int64_t ConnectionTable::ProgressCheckMs() const {
  // Looked at four times per send limit: a stalled answer ends at most a quarter late.
  return std::max<int64_t>(limits_.sendTimeoutMs / 4, ConnectionSockets::kTickMs);
}

int ConnectionTable::ConnectionToDrop(int64_t& retryMs) const {
  // Oldest first, in this order: a connection that has sent nothing, one that has begun
  // a request and not finished it; either only once it is older than the grace. A
  // connection past its request is never dropped (its client is being served), nor
  // one younger than the grace (a burst of real clients whose requests are on their way).
  const int64_t now = now_();
  int silent = -1, incomplete = -1, youngest = -1;
  for (size_t i = 0; i < connections_.size(); ++i) {
    const Connection& c = connections_[i];
    if (c.state != ConnectionState::kReceiving) continue;
    if (now - c.acceptedMs < limits_.idleGraceMs) {
      if (youngest < 0 || c.acceptedMs < connections_[youngest].acceptedMs) {
        youngest = static_cast<int>(i);
      }
      continue;
    }
    int& oldest = c.RequestBuffer.empty() ? silent : incomplete;
    if (oldest < 0 || c.acceptedMs < connections_[oldest].acceptedMs) oldest = static_cast<int>(i);
  }
  retryMs = youngest < 0 ? 0
                         : std::max<int64_t>(
                               connections_[youngest].acceptedMs + limits_.idleGraceMs - now, 1);
  return silent >= 0 ? silent : incomplete;
}

void ConnectionTable::AwaitHandOver(int index, std::shared_ptr<ExchangeTicket> ticket,
                                    std::function<void()> calledOff, int waitMs) {
  Connection& c = connections_[index];
  c.state = ConnectionState::kHandingOver;
  c.ticket = std::move(ticket);
  c.answerCalledOff = std::move(calledOff);
  c.handOverDeadlineMs = Now() + waitMs;
  Winsock_HTTP.SetTimeLimit(index, waitMs);
}

void ConnectionTable::AwaitResult(int index) {
  Connection& c = connections_[index];
  c.state = ConnectionState::kHandingOver;
  c.ticket.reset();
  c.answerCalledOff = nullptr;
  c.handOverDeadlineMs = INT64_MAX;
  Winsock_HTTP.SetTimeLimit(index, 0);
}

void ConnectionTable::HandOverDone(int index) {
  Connection& c = connections_[index];
  c.ticket.reset();
  c.answerCalledOff = nullptr;
}

std::function<void()> ConnectionTable::CallOffHandOver(int index) {
  Connection& c = connections_[index];
  if (c.state != ConnectionState::kHandingOver || !c.ticket ||
      !ExchangeWorker::Instance().CallOff(*c.ticket)) {
    return nullptr;
  }
  c.ticket.reset();
  std::function<void()> answer = std::move(c.answerCalledOff);
  c.answerCalledOff = nullptr;
  return answer;
}

void ConnectionTable::End(int index, EndReason reason) {
  Connection& c = connections_[index];
  if (c.state == ConnectionState::kFree) return;
  switch (reason) {
    case EndReason::kServed:
      Winsock_HTTP.Close(index, !c.requestWithoutBody);
      break;
    case EndReason::kSendStalled:
    case EndReason::kAnswerBroken:
      Winsock_HTTP.Reset(index);  // the client must not take a cut answer for a whole one
      break;
    case EndReason::kClientClosed:
    case EndReason::kSocketError:
    case EndReason::kRequestTimedOut:
    case EndReason::kRequestRefused:
    case EndReason::kMadeRoom:
      Winsock_HTTP.Abort(index);
      break;
  }
  if (c.ticket) ExchangeWorker::Instance().CallOff(*c.ticket);
  c.ticket.reset();
  c.answerCalledOff = nullptr;
  c.state = ConnectionState::kFree;
  c.sender.reset();
  c.retry = nullptr;
  if (c.RequestBuffer.capacity() > limits_.maxRequestBytes) std::string().swap(c.RequestBuffer);
  c.RequestBuffer.clear();
  --activeConnections_;
  // A client left waiting because every place was taken is admitted now.
  Winsock_HTTP_Connect.AnnouncePending();
  if (events_.ended) events_.ended(index, reason);
}

void ConnectionTable::Winsock_HTTP_Close(int index) {
  // A client may shut down its sending side once its request is out and still read the
  // answer: the answer goes on (a client that is gone altogether breaks the sending).
  Connection& c = connections_[index];
  if (c.state == ConnectionState::kReceiving) {
    End(index, EndReason::kClientClosed);
  } else if (c.state == ConnectionState::kHandingOver) {
    // Most likely the client left: a hand-over that does not start soon is called off.
    c.handOverDeadlineMs = std::min(c.handOverDeadlineMs, now_() + kLeftClientWaitMs);
    Winsock_HTTP.SetTimeLimit(index, std::max<int64_t>(c.handOverDeadlineMs - now_(), 1));
  }
}

void ConnectionTable::Winsock_HTTP_SendComplete(int index) {
  if (connections_[index].state == ConnectionState::kResponding) PumpResponse(index);
}

void ConnectionTable::Winsock_HTTP_TimeLimit(int index) {
  switch (connections_[index].state) {
    case ConnectionState::kReceiving:
      End(index, EndReason::kRequestTimedOut);
      break;
    case ConnectionState::kResponding: {
      // The limit counts from the last bytes the client took, not from the start: a
      // slow reader of a large file gets all of it.
      Connection& c = connections_[index];
      const int64_t taken = Winsock_HTTP.BytesTaken(index);
      const int64_t now = now_();
      if (taken != c.bytesTaken) {
        c.bytesTaken = taken;
        c.progressMs = now;
      }
      if (now - c.progressMs >= limits_.sendTimeoutMs) {
        End(index, EndReason::kSendStalled);
      } else {
        Winsock_HTTP.SetTimeLimit(index, ProgressCheckMs());
      }
      break;
    }
    case ConnectionState::kAwaitingDescriptor: {
      Connection& c = connections_[index];
      if (now_() - c.progressMs >= limits_.sendTimeoutMs) {
        End(index, EndReason::kAnswerBroken);
        break;
      }
      const std::function<void()> retry = std::move(c.retry);
      retry();
      break;
    }
    case ConnectionState::kHandingOver:
      // Not started in time: called off. Once started, its result is awaited.
      events_.handOverLate(index);
      break;
    case ConnectionState::kFree:
    case ConnectionState::kCheckingPassword:
      break;
  }
}

void ConnectionTable::PumpResponse(int index) {
  Connection& c = connections_[index];
  if (c.sender) {
    switch (c.sender->SendNext(Winsock_HTTP, index)) {
      case ResponseSender::Step::kQueued:
        // The rest once the socket has sent this; but when the last of the answer went
        // to the kernel at once (a page, a small file), it is done now.
        if (!c.sender->Exhausted() || !Winsock_HTTP.AllSent(index)) return;
        break;
      case ResponseSender::Step::kFailed:
        End(index, EndReason::kAnswerBroken);
        return;
      case ResponseSender::Step::kFinished:
        break;
    }
    c.sender.reset();
  }
  End(index, EndReason::kServed);
}

void ConnectionTable::Winsock_HTTP_DataArrival(int index) {
  Connection& c = connections_[index];
  std::string data = Winsock_HTTP.GetData(index);
  // One request per connection: what follows a handled request is read and dropped.
  if (c.state != ConnectionState::kReceiving) return;
  const size_t before = c.RequestBuffer.size();
  if (c.RequestBuffer.empty()) {
    c.RequestBuffer.swap(data);
  } else {
    c.RequestBuffer += data;
  }
  // Measured as the bytes come: the end of the header block is looked for in the new
  // bytes only, the header block is measured once it is whole, and then the body's bytes
  // are only counted. A request that comes byte by byte costs no more than one at once.
  RequestExtent extent;
  if (c.wantedBytes > 0) {
    if (c.RequestBuffer.size() >= c.wantedBytes) {
      extent = {RequestExtent::State::kComplete, c.wantedBytes};
    }
  } else if (const size_t end = HeaderBlockEnd(c.RequestBuffer, before, c.requestLineEnded);
             end == std::string::npos) {
    if (c.RequestBuffer.size() > limits_.maxRequestBytes) {
      extent.state = RequestExtent::State::kTooLarge;
    }
  } else {
    // Lines that end in LF alone are read as ending in CR LF; a request line without a
    // version is a request without header lines.
    c.versionless = !HasVersion(
        std::string_view(c.RequestBuffer).substr(0, c.RequestBuffer.find_first_of("\r\n")));
    NormaliseHeaderBlock(c.RequestBuffer, end);
    extent = MeasureRequest(c.RequestBuffer, limits_.maxRequestBytes);
    c.wantedBytes = extent.wanted;
    c.headerBytes = extent.headerLength;
  }
  // Without status lines a request line without a version is answered as it always was;
  // with them it asks for what they cannot tell (HTTP/0.9): 400 at once.
  if (extent.state == RequestExtent::State::kComplete && c.versionless && statusLines_) {
    extent.state = RequestExtent::State::kRefused;
    extent.fault = "request line names no HTTP version";
  }
  if (extent.state == RequestExtent::State::kTooLarge ||
      extent.state == RequestExtent::State::kRefused) {
    c.refusedFault = extent.fault;
    events_.refused(index, extent.state == RequestExtent::State::kTooLarge ? 413 : 400);
    return;
  }
  if (extent.state == RequestExtent::State::kIncomplete) {
    // A client that waits for leave to send its body gets it, once.
    if (statusLines_ && !c.continueChecked && c.wantedBytes > 0) {
      c.continueChecked = true;
      if (ExpectsContinue(c.RequestBuffer, c.headerBytes))
        Winsock_HTTP.SendData(index, "HTTP/1.1 100 Continue\r\n\r\n");
    }
    return;
  }
  // A request that ends with its header block is all the client sends; one with a body
  // may be followed by stray bytes (a line end after a posted form), which are drained.
  // What follows a request line without a version (its header lines, say) is drained too.
  c.requestWithoutBody = c.headerBytes == extent.length && !c.versionless;
  Winsock_HTTP.SetTimeLimit(index, 0);
  std::string text;
  text.swap(c.RequestBuffer);
  text.resize(extent.length);
  events_.request(index, HttpRequest(std::move(text), c.headerBytes));
}

void ConnectionTable::AwaitDescriptor(int index, std::function<void()> retry) {
  Connection& c = connections_[index];
  if (c.state != ConnectionState::kAwaitingDescriptor) c.progressMs = now_();
  c.state = ConnectionState::kAwaitingDescriptor;
  c.retry = std::move(retry);
  Winsock_HTTP.SetTimeLimit(index, kDescriptorRetryMs);
}

void ConnectionTable::Queue(int index, std::unique_ptr<ResponseSender> sender) {
  Connection& c = connections_[index];
  c.sender = std::move(sender);
  c.state = ConnectionState::kResponding;
  c.bytesTaken = 0;
  c.progressMs = now_();
  Winsock_HTTP.SetTimeLimit(index, ProgressCheckMs());
  PumpResponse(index);
}
}  // namespace vel
