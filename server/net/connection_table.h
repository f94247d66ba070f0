// The connection table: every client connection from its accept to its end, apart from
// what its answer says. It accepts clients and makes room for them, assembles each request
// as its bytes arrive, keeps the time limits, waits for a descriptor when an answer needs
// one, and pumps the answer out. The core (web_server_core.h) is told of a complete
// request through Events::request, and answers it with Queue; everything runs on the Qt
// event-loop thread. A connection's state and fields change here only: the core and the
// hand-over ask through the named calls (AwaitPassword, AwaitHandOver, SetClient ...).
//
//            accept (room made when every place is taken)
//                |
//                v
//   kFree --> kReceiving --(complete)--> Events::request ---------------------+
//     ^          |    |                     |             |                  |
//     |          |    | too long, framed    v             v                  |
//     |          |    | other than plainly  kCheckingPassword  kHandingOver  |
//     |          |    | (Events::refused:   |             |  (late: Events:: |
//     |          |    | answered with       +------+------+   handOverLate)  |
//     |          |    | Headers=1) ---------------+        v                  v
//     |          | closed, broken, too late,      +-> kAwaitingDescriptor <--> kResponding
//     |          | refused (Headers=0), made room                              |
//     +----------+<------- reset ----------------------------------------------+
//     |                                                                       |
//     +--------------------- served (all sent), stalled, broken --------------+
//
// Every connection ends through End, which takes the reason; an ended connection's
// hand-over to the exchange is called off. One request per connection: what a client sends
// after it is read and dropped.
#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ip_address.h"
#include "request.h"
#include "response_sender.h"
#include "sender.h"
#include "socket_facility.h"

namespace vel {

class ExchangeTicket;

struct ServerLimits {
  int requestTimeoutMs = 10000;  // a request must be complete within this time
  int sendTimeoutMs = 30000;     // an answer is abandoned after this long without progress
  // When every place is taken, a connection that has sent nothing for this long is the
  // first to make room for a new client (browsers open connections ahead of time).
  int idleGraceMs = 1000;
  size_t maxRequestBytes = 64 * 1024;
  // Connections open at once; fewer when the process may not open that many descriptors.
  int maxConnections = 1024;
  static ServerLimits FromEnvironment();
};

// A connection is known by its index in Winsock_HTTP (the connection sockets), which is
// also its index in the table.
//
//   kFree        no connection at this index
//   kReceiving   the request is read into RequestBuffer; it must be complete within
//                requestTimeoutMs of the accept and stay within maxRequestBytes, its
//                header block and declared body together
//   kCheckingPassword
//                its password is being hashed on the password thread; the request
//                waits, admitted or refused by the result
//   kHandingOver a posted message is with the exchange thread; its answer waits. A
//                hand-over not started within kHandOverWaitMs, or whose client has
//                closed its side for a while, is called off and answered 503.
//   kAwaitingDescriptor
//                the answer needs a file, and the process has no descriptor left to open
//                it with: `retry` makes the answer again 100 ms later, until it is made
//                or sendTimeoutMs have passed (then the connection is reset). A client
//                is never told that a file it asked for is missing when it is not.
//   kResponding  the answer (sender) is going out; the send completion that leaves
//                nothing to send ends the connection, served.
//                Abandoned when the client takes nothing for sendTimeoutMs.
enum class ConnectionState {
  kFree,
  kReceiving,
  kCheckingPassword,
  kHandingOver,
  kAwaitingDescriptor,
  kResponding
};

enum class EndReason {
  kServed,           // the whole answer went out: closed gracefully, and counted
  kClientClosed,     // the client closed before its request was complete
  kSocketError,      // the connection broke
  kRequestTimedOut,  // the request was not complete in time
  kRequestRefused,   // the request is, or declares a body that makes it, too long, or
                     // it is framed other than plainly (its content length, say)
  kMadeRoom,         // closed to make room for a new client
  kSendStalled,      // the client took nothing of the answer for too long: reset
  kAnswerBroken,     // the file being sent could not be read on, or no descriptor came
                     // free to open it with in time: reset
};

struct Connection {
  ConnectionState state = ConnectionState::kFree;
  int64_t acceptedMs = 0;
  std::string RequestBuffer;
  bool requestWithoutBody = false;     // the request ended with its header block
  bool requestLineEnded = false;       // the request line's end has been received
  bool versionless = false;            // the request line names no version (HTTP/0.9)
  const char* refusedFault = nullptr;  // a 400 of assembly: what is wrong with the request
  std::unique_ptr<ResponseSender> sender;
  int64_t bytesTaken = 0;        // of the answer, by the client, when last looked at
  int64_t progressMs = 0;        // when the client was last seen taking bytes, or since when the
                                 // answer has been waiting for a descriptor
  std::function<void()> retry;   // kAwaitingDescriptor: makes the answer again
  bool headOnly = false;         // HEAD: the answer's head without its body
  bool continueChecked = false;  // the header block was looked at for "Expect: 100-continue"
  // Once the header block is in and the body is not: the length of the whole request,
  // and of its header block.
  size_t wantedBytes = 0;
  size_t headerBytes = 0;
  // kHandingOver: the hand-over's place in the exchange's line, and what answers the
  // post when the hand-over is called off before it started.
  std::shared_ptr<ExchangeTicket> ticket;
  std::function<void()> answerCalledOff;
  int64_t handOverDeadlineMs = 0;
  // The client as the access checks saw it (through a trusted proxy), when they ran.
  std::optional<Sender> client;
  bool statusRequest = false;  // /metrics or /health: not counted as served
};

class ConnectionTable {
 public:
  // What the table tells its owner.
  struct Events {
    // A whole request arrived; the connection waits for its answer.
    std::function<void(int index, const HttpRequest& request)> request;
    // The request is too long (413) or framed other than plainly (400: its length no plain
    // number, two lengths, a folded line ...: Connection::refusedFault says which); it is
    // still in the connection's RequestBuffer. The owner answers it, or ends the connection.
    std::function<void(int index, int status)> refused;
    // A hand-over not started in time.
    std::function<void(int index)> handOverLate;
    // The connection ended: before it is free again.
    std::function<void(int index, EndReason reason)> ended;
  };

  // `clock` tells the time for the time limits and the grace (NowMs unless a test drives it).
  explicit ConnectionTable(ServerLimits limits, std::function<int64_t()> clock = NowMs);
  ConnectionTable(const ConnectionTable&) = delete;
  ConnectionTable& operator=(const ConnectionTable&) = delete;

  void SetEvents(Events events) { events_ = std::move(events); }
  // With status lines on, a client that waits for leave to send its body gets it.
  void SetStatusLines(bool on) { statusLines_ = on; }
  // Fewer connections at once when the process may not open that many descriptors.
  void FitToDescriptors();
  const ServerLimits& Limits() const { return limits_; }
  // The time on the table's clock, in milliseconds.
  int64_t Now() const { return now_(); }

  ListeningSocket& Listener() { return Winsock_HTTP_Connect; }
  const ListeningSocket& Listener() const { return Winsock_HTTP_Connect; }
  ConnectionSockets& Sockets() { return Winsock_HTTP; }
  // A connection as it stands; it changes only through the calls below, and the table's
  // own handlers.
  const Connection& At(int index) const { return connections_[index]; }

  // The access checks' view of the client, once they ran.
  void SetClient(int index, const Sender& client) { connections_[index].client = client; }
  // The answer to come is a head only (HEAD), or a status answer (not counted as served).
  void SetHeadOnly(int index, bool headOnly) { connections_[index].headOnly = headOnly; }
  void MarkStatusRequest(int index) { connections_[index].statusRequest = true; }
  // The request waits for its password to be hashed.
  void AwaitPassword(int index) { connections_[index].state = ConnectionState::kCheckingPassword; }
  // The request waits for its hand-over, in the exchange's line at `ticket`, for
  // `waitMs` at most; `calledOff` answers it should the hand-over be called off.
  void AwaitHandOver(int index, std::shared_ptr<ExchangeTicket> ticket,
                     std::function<void()> calledOff, int waitMs);
  // The request waits for a result that nothing calls off (a message on its way to the
  // outbox's disk): no place in the exchange's line, no time limit.
  void AwaitResult(int index);
  // The hand-over has run: its place in the line and its call-off answer go.
  void HandOverDone(int index);
  // Calls off the hand-over the connection waits for, when it has not started: the
  // answer to give then, or nothing (no hand-over, or it has started).
  std::function<void()> CallOffHandOver(int index);
  // The bytes of a request refused before it was taken apart, taken out of the buffer.
  std::string TakeRequestBytes(int index) { return std::move(connections_[index].RequestBuffer); }
  ConnectionId IdOf(int index) const { return Winsock_HTTP.IdOf(index); }
  // Whether the connection `id` is still there, and in `state`: a result that comes back
  // from another thread (a password checked, a message handed over) is for it only then.
  bool Waits(ConnectionId id, ConnectionState state) const {
    return connections_[id.index].state == state && Winsock_HTTP.IdOf(id.index) == id;
  }
  size_t Size() const { return connections_.size(); }
  int Active() const { return activeConnections_; }

  // The answer goes out; the connection ends, served, once all of it is sent.
  void Queue(int index, std::unique_ptr<ResponseSender> sender);
  // The answer could not be made for want of a descriptor: `retry` makes it again later.
  void AwaitDescriptor(int index, std::function<void()> retry);
  void End(int index, EndReason reason);

 private:
  void Winsock_HTTP_Connect_ConnectionRequest(int32_t requestId);
  void Winsock_HTTP_DataArrival(int index);
  void Winsock_HTTP_SendComplete(int index);
  void Winsock_HTTP_Close(int index);
  void Winsock_HTTP_TimeLimit(int index);
  // The connection to close when a new client finds every place taken; -1 when none
  // may be closed (past their request, or younger than the grace). Then `retryMs` says
  // when one will have passed the grace (0: only when a connection ends).
  int ConnectionToDrop(int64_t& retryMs) const;
  // How often an answer on its way is looked at for progress.
  int64_t ProgressCheckMs() const;
  void PumpResponse(int index);

  ServerLimits limits_;
  std::function<int64_t()> now_;
  Events events_;
  bool statusLines_ = false;
  ListeningSocket Winsock_HTTP_Connect;
  ConnectionSockets Winsock_HTTP;
  std::vector<Connection> connections_;  // by index in Winsock_HTTP
  int activeConnections_ = 0;            // connections that are not kFree
  QTimer roomTimer_;                     // announces waiting clients again once a place may be made
};

}  // namespace vel
