// The socket facility the server does all its network work through: the listening
// socket (Winsock_HTTP_Connect) and the set of connection sockets (Winsock_HTTP), each
// connection known by its index in that set, as in a control array.
//
// The listener is a QTcpServer (it opens the port, dual stack where the machine has
// IPv6); the server's own notifier on it is paused and clients are taken one by one by
// Accept. Connections are served on their own descriptors. They all sit in one epoll
// set behind a single QSocketNotifier: with a thousand connections open, a notifier per
// connection would make every turn of Qt's loop walk all of them, where the epoll set
// hands over only the ones that are ready. A QTcpSocket per connection costs more than
// the rest of a request together (socket engine, notifiers, six extra system calls to
// learn what accept already told, posted events).
//
// Promises to its user:
// - Every event is delivered from the event loop, never from inside one of this class's
//   own operations (SendData, Close, Abort, Reset, Accept), so a handler never runs
//   re-entrantly. Events name the connection by index; an index is reused only after
//   its connection has ended (for a graceful close: after its drain).
// - The listener announces waiting clients one at a time with ConnectionRequest. A
//   client that the handler does not Accept stays in the kernel's backlog, and the
//   listener is quiet until AnnouncePending is called.
// - Right after a client has been accepted (once the handler has returned), what it has
//   sent already is read: a client sends its request right behind its connection.
// - SendData hands what it can to the kernel at once and keeps the rest; SendComplete
//   fires once everything queued so far has been handed to the kernel. It does not fire
//   when nothing was queued.
// - CloseEvent fires when the client has closed its sending side. Reading stops then, but
//   the connection stays open for sending until the user ends it: a client that shuts
//   down its sending side after its request still gets the answer.
// - Close after a complete response shuts the sending side down first and lets the
//   socket drain what the client still sends (for at most two seconds), so that the
//   client reads the whole response instead of a reset. When the caller knows the client
//   sends nothing more and nothing unread is waiting, the socket is closed at once.
//   Abort closes at once; Reset closes with a reset, so that the client knows that what
//   it got is incomplete.
// - Each connection may carry one time limit: TimeLimit fires once it has passed (within
//   kTickMs), unless the connection ended or the limit was set anew before.
#pragma once

#include <sys/socket.h>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "clock.h"

class QTcpServer;

namespace vel {

// One connection: its index in the connection sockets, and its serial there, which tells it
// apart from every earlier and later connection of the same index. The serial changes only
// once the connection is closed, reset or aborted, never while it is open.
struct ConnectionId {
  int index = -1;
  uint32_t serial = 0;
  bool operator==(const ConnectionId&) const = default;
};

class ListeningSocket : public QObject {
 public:
  ListeningSocket();
  ~ListeningSocket() override;
  ListeningSocket(const ListeningSocket&) = delete;
  ListeningSocket& operator=(const ListeningSocket&) = delete;

  void SetLocalPort(int32_t port) { localPort_ = port; }
  // The one address to listen on ("127.0.0.1", "::1"); empty: every address.
  void SetLocalAddress(const std::string& address) { localAddress_ = address; }
  int32_t LocalPort() const;
  bool Listen();  // false when the port cannot be opened
  // Announces waiting clients again after one was left in the backlog.
  void AnnouncePending();
  std::function<void(int32_t requestId)> ConnectionRequest;

 private:
  friend class ConnectionSockets;
  enum class Outcome { kNone, kTaken, kNoneWaiting, kNoDescriptors };
  void OnAcceptReady();
  int Descriptor() const;

  int32_t localPort_ = 0;
  std::string localAddress_;
  QTcpServer* server_ = nullptr;
  QSocketNotifier* acceptNotifier_ = nullptr;
  int32_t nextRequestId_ = 1;
  int32_t announcedId_ = 0;
  Outcome outcome_ = Outcome::kNone;  // what Accept made of the announced client
  class ConnectionSockets* taker_ = nullptr;
  int takenIndex_ = -1;
};

class ConnectionSockets : public QObject {
 public:
  static constexpr int kTickMs = 50;

  ConnectionSockets();
  ~ConnectionSockets() override;
  ConnectionSockets(const ConnectionSockets&) = delete;
  ConnectionSockets& operator=(const ConnectionSockets&) = delete;

  // Takes the announced client over; its index, or -1 when it could not be taken.
  int Accept(ListeningSocket& listener, int32_t requestId);
  ConnectionId IdOf(int index) const {
    return {index, sockets_[static_cast<size_t>(index)].serial};
  }
  std::string GetData(int index);
  void SendData(int index, const std::string& text);
  // True while connected with everything queued handed to the kernel.
  bool AllSent(int index) const;
  // Ends the connection after a complete response (graceful, see above).
  // `clientMaySendMore` false: the request was complete without a body, so the client has
  // nothing more to send and no drain is needed unless input is waiting after all.
  void Close(int index, bool clientMaySendMore = true);
  void Abort(int index);
  void Reset(int index);
  // The client's address in its usual text form ("10.1.2.3", "2001:db8::5").
  std::string RemoteHostIP(int index) const;
  // The client's address as accepted (AF_INET or AF_INET6); all zero when none.
  sockaddr_storage RemoteAddress(int index) const;
  // The time limit of the connection, `ms` from now; 0 clears it.
  void SetTimeLimit(int index, int64_t ms);
  // How many of the bytes sent on this connection the client has taken (acknowledged).
  int64_t BytesTaken(int index) const;

  std::function<void(int index)> DataArrival;
  std::function<void(int index)> SendComplete;
  std::function<void(int index)> CloseEvent;  // the client closed its sending side
  std::function<void(int index)> Error;
  std::function<void(int index)> TimeLimit;

 private:
  struct Socket {
    int fd = -1;
    uint32_t serial = 0;   // told apart from an earlier connection of the same index
    uint32_t watched = 0;  // the events it is registered for in the epoll set, 0: none
    bool draining = false;
    bool broken = false;      // sending failed: the connection is gone
    bool peerClosed = false;  // the client closed its sending side
    bool completionDue = false;
    sockaddr_storage peer{};
    std::string received;  // read, not yet taken by GetData
    std::string queue;     // queued, not yet handed to the kernel (from queueStart on)
    size_t queueStart = 0;
    int64_t deadline = 0;  // NowMs when TimeLimit fires (or the drain ends); 0: none
    int64_t handed = 0;    // bytes the kernel has taken from us on this connection
  };

  void ReadAfterAccept(int index);
  void OnEpollReady();
  void OnTick();
  void OnCompletions();
  void OnReadable(int index);
  void OnWritable(int index);
  void OnDrainReadable(int index);
  void Watch(int index);  // brings the epoll registration in line with what is wanted
  bool Flush(Socket& socket);
  void Release(int index);  // forgets the connection and frees its index
  void StartTicking();
  // Starts the completion timer for the completions still due. While the facility
  // dispatches events itself (`dispatching_`), SendData leaves that to the end of the
  // dispatch: an answer that went out whole is usually closed before then, and a timer
  // per request would cost more than the rest of its bookkeeping.
  void ScheduleCompletions();
  class Dispatch;

  friend class ListeningSocket;
  std::deque<Socket> sockets_;
  std::vector<int> freeIndexes_;
  int open_ = 0;  // sockets with a descriptor, draining ones included
  int epoll_ = -1;
  QSocketNotifier* epollNotifier_ = nullptr;
  QTimer tick_;
  int dispatching_ = 0;
  QTimer completionTimer_;
  std::vector<std::pair<int, uint32_t>> completions_;
};

}  // namespace vel
