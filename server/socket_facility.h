// The socket facility the server does all its network work through: one class that
// plays either role of the original socket control, the listener (Winsock_HTTP_Connect)
// or the one connection socket (Winsock_HTTP), over QTcpServer and QTcpSocket.
//
// Promises to its user:
// - Every event is delivered from the event loop, never from inside one of this class's
//   own operations (SendData, Close, Accept), so a handler never runs re-entrantly.
// - The listener holds at most one announced connection; further clients wait in the
//   kernel's listen backlog and are announced one at a time, when the previous one has
//   been taken over or AnnouncePending is called.
// - SendComplete fires once everything queued so far has been handed to the kernel; it
//   does not fire when nothing was queued.
// - Close after a complete response shuts the sending side down first and lets the
//   socket drain what the client still sends, so that the client reads the whole
//   response instead of a reset; State is 0 at once. When the caller knows the client
//   sends nothing more and nothing unread is waiting, the socket is closed at once.
#pragma once

#include <QObject>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <string>

class QTcpServer;
class QTcpSocket;

namespace vel {

class Winsock : public QObject {
 public:
  enum State : int32_t { kClosed = 0, kListening = 2, kConnected = 7 };

  Winsock();
  ~Winsock() override;

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
  int64_t BytesQueued() const;
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
  void OnNewConnection();
  void OnReadyRead();
  void OnBytesWritten();
  void OnDisconnected();
  void OnError();
  QTcpSocket* Detach();

  int32_t localPort_ = 0;
  QTcpServer* server_ = nullptr;
  QTcpSocket* socket_ = nullptr;
  int32_t nextRequestId_ = 1;
  int32_t announcedId_ = 0;
};

}  // namespace vel
