// The socket facility the server does all its network work through: one class that
// plays either role of the original socket control, the listener (Winsock_HTTP_Connect)
// or the one connection socket (Winsock_HTTP).
//
// The listener is a QTcpServer (it opens the port, dual stack where the machine has
// IPv6); connections are taken from it one at a time. The connection role works on the
// accepted descriptor itself, with two QSocketNotifiers that live as long as the object:
// a QTcpSocket per connection was about half of the server's work per request (socket
// engine, notifiers and private data built and torn down, six extra system calls to learn
// what accept already told, a size query before every read, posted events), and the
// server takes one connection after another all day.
//
// Promises to its user:
// - Every event is delivered from the event loop, never from inside one of this class's
//   own operations (SendData, Close, Accept), so a handler never runs re-entrantly.
// - The listener holds at most one announced connection; further clients wait in the
//   kernel's listen backlog and are announced one at a time, when the previous one has
//   been taken over or AnnouncePending is called.
// - SendData hands what it can to the kernel at once and keeps the rest; SendComplete
//   fires once everything queued so far has been handed to the kernel. It does not fire
//   when nothing was queued.
// - CloseEvent fires when the client has closed its sending side. Reading stops then, but
//   the connection stays open for sending until the user closes it: a client that shuts
//   down its sending side after its request still gets the answer.
// - Close after a complete response shuts the sending side down first and lets the
//   socket drain what the client still sends, so that the client reads the whole
//   response instead of a reset; State is 0 at once. When the caller knows the client
//   sends nothing more and nothing unread is waiting, the socket is closed at once.
#pragma once

#include <sys/socket.h>

#include <QObject>
#include <QSocketNotifier>
#include <cstdint>
#include <functional>
#include <string>

class QTcpServer;

namespace vel {

class Winsock : public QObject {
 public:
  enum State : int32_t { kClosed = 0, kListening = 2, kConnected = 7 };

  Winsock();
  ~Winsock() override;
  Winsock(const Winsock&) = delete;
  Winsock& operator=(const Winsock&) = delete;

  // Listener role.
  void SetLocalPort(int32_t port) { localPort_ = port; }
  int32_t LocalPort() const;
  bool Listen();  // false when the port cannot be opened
  // Announces, once more, a connection that is still waiting to be taken over.
  void AnnouncePending();
  // True when a client waits to be admitted.
  bool HasPending() const;
  std::function<void(int32_t requestId)> ConnectionRequest;

  // Connection role.
  int32_t GetState() const;
  bool Accept(Winsock& listener, int32_t requestId);
  std::string GetData();
  void SendData(const std::string& text);
  // True while connected with everything queued handed to the kernel.
  bool AllSent() const;
  // Ends the connection after a complete response (graceful, see above).
  // `clientMaySendMore` false: the request was complete without a body, so the client has
  // nothing more to send and no drain is needed unless input is waiting after all.
  void Close(bool clientMaySendMore = true);
  // Ends the connection at once (error, time limit, a client that sends too much).
  void Abort();
  std::string RemoteHostIP() const;
  std::function<void()> DataArrival;
  std::function<void()> SendComplete;
  std::function<void()> CloseEvent;  // the client closed the connection
  std::function<void()> Error;

 private:
  void OnAcceptReady();
  void OnReadable();
  void OnWritable();
  // Hands as much of the queue to the kernel as it takes; false on a broken connection.
  bool Flush();
  void Release();  // stops watching the descriptor and forgets the connection

  // Listener.
  int32_t localPort_ = 0;
  QTcpServer* server_ = nullptr;
  QSocketNotifier* acceptNotifier_ = nullptr;
  int32_t nextRequestId_ = 1;
  int32_t announcedId_ = 0;
  Winsock* accepted_ = nullptr;  // the connection that took the announced client

  // Connection.
  int fd_ = -1;
  QSocketNotifier readNotifier_{QSocketNotifier::Read};
  QSocketNotifier writeNotifier_{QSocketNotifier::Write};
  sockaddr_storage peer_{};
  std::string received_;  // read, not yet taken by GetData
  std::string queue_;     // queued, not yet handed to the kernel (from queueStart_ on)
  size_t queueStart_ = 0;
  bool broken_ = false;     // sending failed: the connection is gone
  bool peerClosed_ = false;  // the client closed its sending side
};

}  // namespace vel
