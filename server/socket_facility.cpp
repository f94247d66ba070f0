#include "socket_facility.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QHostAddress>
#include <QTcpServer>
#include <QTimer>
#include <cerrno>
#include <utility>

namespace vel {

namespace {

// How long a closed connection may still drain what its client sends.
constexpr int kLingerMs = 2000;
// How long the listener rests when the process has no descriptor left for a client.
constexpr int kAcceptRetryMs = 100;
// The most one read takes; a request is far smaller, a larger one is read in turns.
constexpr size_t kReadBytes = 64 * 1024;

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// A connection whose response is complete and whose sending side is shut: what the client
// still sends is read and dropped until it closes, or until the time is up. Closing with
// unread input would reset the connection, and the client could lose the end of the
// response.
class Drain : public QObject {
 public:
  Drain(int fd, QObject* parent) : QObject(parent), fd_(fd), notifier_(fd, QSocketNotifier::Read) {
    QObject::connect(&notifier_, &QSocketNotifier::activated, this, [this] { OnReadable(); });
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { Finish(); });
    timer_.start(kLingerMs);
  }
  ~Drain() override {
    if (fd_ >= 0) {
      notifier_.setEnabled(false);
      ::close(fd_);
    }
  }

 private:
  void OnReadable() {
    char scratch[16 * 1024];
    const ssize_t n = ::recv(fd_, scratch, sizeof scratch, 0);
    if (n > 0 || (n < 0 && WouldBlock(errno))) return;
    Finish();  // the client closed, or the connection broke
  }
  void Finish() {
    if (fd_ < 0) return;
    notifier_.setEnabled(false);
    timer_.stop();
    ::close(fd_);
    fd_ = -1;
    deleteLater();
  }

  int fd_;
  QSocketNotifier notifier_;
  QTimer timer_;
};

}  // namespace

Winsock::Winsock() {
  readNotifier_.setEnabled(false);
  writeNotifier_.setEnabled(false);
  QObject::connect(&readNotifier_, &QSocketNotifier::activated, this, [this] { OnReadable(); });
  QObject::connect(&writeNotifier_, &QSocketNotifier::activated, this, [this] { OnWritable(); });
}

Winsock::~Winsock() {
  Abort();
  delete acceptNotifier_;  // before the server closes the descriptor it watches
  acceptNotifier_ = nullptr;
}

// ---- listener ------------------------------------------------------------------------

int32_t Winsock::LocalPort() const {
  if (server_ && server_->isListening()) return server_->serverPort();
  return localPort_;
}

bool Winsock::Listen() {
  if (localPort_ < 1 || localPort_ > 65535) return false;
  auto* server = new QTcpServer(this);
  if (!server->listen(QHostAddress::Any, static_cast<quint16>(localPort_))) {
    delete server;
    return false;
  }
  // Connections are taken one at a time by Accept, not by the server's own notifier, so
  // that the others wait in the kernel's backlog until the slot is free.
  server->pauseAccepting();
  server_ = server;
  acceptNotifier_ = new QSocketNotifier(server_->socketDescriptor(), QSocketNotifier::Read, this);
  QObject::connect(acceptNotifier_, &QSocketNotifier::activated, this, [this] { OnAcceptReady(); });
  return true;
}

bool Winsock::HasPending() const {
  if (!server_) return false;
  pollfd waiting{static_cast<int>(server_->socketDescriptor()), POLLIN, 0};
  return ::poll(&waiting, 1, 0) > 0 && (waiting.revents & POLLIN) != 0;
}

void Winsock::OnAcceptReady() {
  // A connection announced before and not taken is announced again under its number.
  if (announcedId_ == 0) announcedId_ = nextRequestId_++;
  if (ConnectionRequest) ConnectionRequest(announcedId_);
  // Not taken: the client waits in the backlog, and the listener stays quiet until
  // AnnouncePending (otherwise every turn of the loop would announce it again).
  if (announcedId_ != 0 && acceptNotifier_) acceptNotifier_->setEnabled(false);
  // Taken: a client sends its request right behind its connection, so it is usually
  // there already. Reading it now (the handler above has returned) saves a turn of the
  // loop; when nothing has come yet, the connection's notifier reports it later.
  if (Winsock* taken = std::exchange(accepted_, nullptr)) taken->OnReadable();
}

void Winsock::AnnouncePending() {
  // The next turn of the event loop announces a waiting client, if there is one.
  if (acceptNotifier_) acceptNotifier_->setEnabled(true);
}

// ---- connection ----------------------------------------------------------------------

int32_t Winsock::GetState() const {
  if (fd_ >= 0) return kConnected;
  if (server_) return kListening;
  return kClosed;
}

bool Winsock::Accept(Winsock& listener, int32_t requestId) {
  if (fd_ >= 0 || !listener.server_ || requestId != listener.announcedId_) return false;
  listener.announcedId_ = 0;
  int fd;
  do {
    socklen_t length = sizeof peer_;
    fd = ::accept4(static_cast<int>(listener.server_->socketDescriptor()),
                   reinterpret_cast<sockaddr*>(&peer_), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const bool clientGone = WouldBlock(errno) || errno == ECONNABORTED || errno == EPROTO;
    if (!clientGone && listener.acceptNotifier_) {
      // Out of descriptors or memory: the clients wait in the backlog, and the listener
      // looks again a little later instead of spinning on a connection it cannot take.
      listener.acceptNotifier_->setEnabled(false);
      QTimer::singleShot(kAcceptRetryMs, &listener, [&listener] { listener.AnnouncePending(); });
    }
    return false;
  }
  fd_ = fd;
  readNotifier_.setSocket(fd);
  writeNotifier_.setSocket(fd);
  readNotifier_.setEnabled(true);
  listener.accepted_ = this;
  return true;
}

std::string Winsock::GetData() {
  std::string data;
  data.swap(received_);
  return data;
}

void Winsock::OnReadable() {
  if (fd_ < 0) return;
  static char buffer[kReadBytes];
  const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
  if (n > 0) {
    received_.append(buffer, static_cast<size_t>(n));
    if (DataArrival) DataArrival();
    return;
  }
  if (n < 0 && WouldBlock(errno)) return;
  readNotifier_.setEnabled(false);
  if (n == 0) {
    peerClosed_ = true;
    if (CloseEvent) CloseEvent();
    return;
  }
  broken_ = true;
  if (Error) Error();
}

bool Winsock::Flush() {
  while (queueStart_ < queue_.size()) {
    const ssize_t n = ::send(fd_, queue_.data() + queueStart_, queue_.size() - queueStart_,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      queueStart_ += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && WouldBlock(errno)) break;
    broken_ = true;
    return false;
  }
  if (queueStart_ == queue_.size()) {
    queue_.clear();
    queueStart_ = 0;
  }
  return true;
}

void Winsock::SendData(const std::string& text) {
  if (fd_ < 0 || text.empty()) return;
  if (!broken_) {
    if (queueStart_ == queue_.size()) {
      // Nothing waits in front of it: what the kernel takes at once is never copied.
      ssize_t n;
      do {
        n = ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      } while (n < 0 && errno == EINTR);
      if (n < 0 && !WouldBlock(errno)) broken_ = true;
      const size_t taken = n > 0 ? static_cast<size_t>(n) : 0;
      if (!broken_ && taken < text.size()) queue_.assign(text, taken);
    } else {
      queue_ += text;
    }
  }
  // Completion (or the failure) is reported from the event loop, once the socket can take
  // more; with everything handed over that is the next turn.
  writeNotifier_.setEnabled(true);
}

void Winsock::OnWritable() {
  if (fd_ < 0) return;
  if (broken_ || !Flush()) {
    writeNotifier_.setEnabled(false);
    if (Error) Error();
    return;
  }
  if (queueStart_ < queue_.size()) return;  // the rest when the kernel takes more
  writeNotifier_.setEnabled(false);
  if (SendComplete) SendComplete();
}

bool Winsock::AllSent() const { return fd_ >= 0 && !broken_ && queueStart_ == queue_.size(); }

std::string Winsock::RemoteHostIP() const {
  if (fd_ < 0) return {};
  QHostAddress address(reinterpret_cast<const sockaddr*>(&peer_));
  bool isV4 = false;
  const quint32 v4 = address.toIPv4Address(&isV4);
  if (isV4) address = QHostAddress(v4);
  return address.toString().toStdString();
}

void Winsock::Release() {
  readNotifier_.setEnabled(false);
  writeNotifier_.setEnabled(false);
  fd_ = -1;
  received_.clear();
  queue_.clear();
  queueStart_ = 0;
  broken_ = false;
  peerClosed_ = false;
}

void Winsock::Close(bool clientMaySendMore) {
  if (fd_ < 0) return;
  const int fd = fd_;
  const bool unsent = broken_ || queueStart_ < queue_.size();
  const bool unread = !received_.empty();
  const bool peerClosed = peerClosed_;
  Release();
  int waiting = 0;
  if (unsent || peerClosed ||
      (!clientMaySendMore && !unread && ::ioctl(fd, FIONREAD, &waiting) == 0 && waiting == 0)) {
    // A plain close: the answer is cut anyway, or nothing of the client's waits and
    // nothing more will come, so our end-of-stream follows the response directly.
    ::close(fd);
    return;
  }
  ::shutdown(fd, SHUT_WR);
  new Drain(fd, this);  // a child, so that the end of the program takes it along
}

void Winsock::Abort() {
  if (fd_ < 0) return;
  const int fd = fd_;
  Release();
  ::close(fd);
}

}  // namespace vel
