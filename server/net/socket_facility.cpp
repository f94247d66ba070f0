#include "socket_facility.h"

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <QHostAddress>
#include <QTcpServer>
#include <cerrno>

#include "ip_address.h"

namespace vel {

namespace {

// How long a closed connection may still drain what its client sends.
constexpr int64_t kLingerMs = 2000;
// How long the listener rests when the process has no descriptor left for a client.
constexpr int kAcceptRetryMs = 100;
// The most one read takes; a request is far smaller, a larger one is read in turns.
constexpr size_t kReadBytes = 64 * 1024;
// Clients the kernel keeps waiting for their accept.
constexpr int kBacklog = 1024;
// Ready connections handled per turn of the event loop.
constexpr int kEventsPerTurn = 64;

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

uint64_t EventKey(int index, uint32_t serial) {
  return (static_cast<uint64_t>(serial) << 32) | static_cast<uint32_t>(index);
}

}  // namespace

// Marks a dispatch of the facility's own events; at its end the completions that are
// still due are scheduled.
class ConnectionSockets::Dispatch {
 public:
  explicit Dispatch(ConnectionSockets& sockets) : sockets_(sockets) { ++sockets_.dispatching_; }
  ~Dispatch() {
    if (--sockets_.dispatching_ == 0) sockets_.ScheduleCompletions();
  }
  Dispatch(const Dispatch&) = delete;
  Dispatch& operator=(const Dispatch&) = delete;

 private:
  ConnectionSockets& sockets_;
};

// ---- listener ------------------------------------------------------------------------

ListeningSocket::ListeningSocket() = default;

ListeningSocket::~ListeningSocket() {
  delete acceptNotifier_;  // before the server closes the descriptor it watches
  acceptNotifier_ = nullptr;
}

int32_t ListeningSocket::LocalPort() const {
  if (server_ && server_->isListening()) return server_->serverPort();
  return localPort_;
}

int ListeningSocket::Descriptor() const { return static_cast<int>(server_->socketDescriptor()); }

bool ListeningSocket::Listen() {
  if (localPort_ < 1 || localPort_ > 65535) return false;
  auto* server = new QTcpServer(this);
  // Room in the kernel for a burst of clients between two turns of the loop.
  server->setListenBacklogSize(kBacklog);
  const QHostAddress address = localAddress_.empty()
                                   ? QHostAddress(QHostAddress::Any)
                                   : QHostAddress(QString::fromStdString(localAddress_));
  if (!server->listen(address, static_cast<quint16>(localPort_))) {
    delete server;
    return false;
  }
  // Clients are taken one at a time by Accept, not by the server's own notifier, so that
  // a client the handler does not take waits in the kernel's backlog.
  server->pauseAccepting();
  server_ = server;
  acceptNotifier_ = new QSocketNotifier(Descriptor(), QSocketNotifier::Read, this);
  QObject::connect(acceptNotifier_, &QSocketNotifier::activated, this, [this] { OnAcceptReady(); });
  return true;
}

void ListeningSocket::OnAcceptReady() {
  // A client announced before and not taken is announced again under its number.
  if (announcedId_ == 0) announcedId_ = nextRequestId_++;
  outcome_ = Outcome::kNone;
  if (ConnectionRequest) ConnectionRequest(announcedId_);
  switch (outcome_) {
    case Outcome::kNone:
      // Not taken: the client waits in the backlog, and the listener stays quiet until
      // AnnouncePending (otherwise every turn of the loop would announce it again).
      if (acceptNotifier_) acceptNotifier_->setEnabled(false);
      break;
    case Outcome::kTaken:
      // Its request is usually there already: reading it now saves a turn of the loop.
      taker_->ReadAfterAccept(takenIndex_);
      break;
    case Outcome::kNoneWaiting:
    case Outcome::kNoDescriptors:
      break;
  }
  // One client per turn: when more wait, the notifier reports them on the next one.
}

void ListeningSocket::AnnouncePending() {
  if (acceptNotifier_ && !acceptNotifier_->isEnabled()) acceptNotifier_->setEnabled(true);
}

// ---- connections ---------------------------------------------------------------------

ConnectionSockets::ConnectionSockets() {
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ >= 0) {
    epollNotifier_ = new QSocketNotifier(epoll_, QSocketNotifier::Read, this);
    QObject::connect(epollNotifier_, &QSocketNotifier::activated, this, [this] { OnEpollReady(); });
  }
  tick_.setInterval(kTickMs);
  QObject::connect(&tick_, &QTimer::timeout, this, [this] { OnTick(); });
  completionTimer_.setSingleShot(true);
  completionTimer_.setInterval(0);
  QObject::connect(&completionTimer_, &QTimer::timeout, this, [this] { OnCompletions(); });
}

ConnectionSockets::~ConnectionSockets() {
  delete epollNotifier_;
  epollNotifier_ = nullptr;
  for (Socket& socket : sockets_) {
    if (socket.fd >= 0) ::close(socket.fd);
  }
  if (epoll_ >= 0) ::close(epoll_);
}

int ConnectionSockets::Accept(ListeningSocket& listener, int32_t requestId) {
  if (!listener.server_ || requestId != listener.announcedId_) return -1;
  listener.announcedId_ = 0;
  sockaddr_storage peer{};
  int fd;
  do {
    socklen_t length = sizeof peer;
    fd = ::accept4(listener.Descriptor(), reinterpret_cast<sockaddr*>(&peer), &length,
                   SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (WouldBlock(errno) || errno == ECONNABORTED || errno == EPROTO) {
      listener.outcome_ = ListeningSocket::Outcome::kNoneWaiting;  // the client went away
      return -1;
    }
    // Out of descriptors or memory: the clients wait in the backlog, and the listener
    // looks again a little later instead of spinning on a client it cannot take.
    listener.outcome_ = ListeningSocket::Outcome::kNoDescriptors;
    if (listener.acceptNotifier_) listener.acceptNotifier_->setEnabled(false);
    QTimer::singleShot(kAcceptRetryMs, &listener, [&listener] { listener.AnnouncePending(); });
    return -1;
  }
  int index;
  if (!freeIndexes_.empty()) {
    index = freeIndexes_.back();
    freeIndexes_.pop_back();
  } else {
    index = static_cast<int>(sockets_.size());
    sockets_.emplace_back();
  }
  Socket& socket = sockets_[static_cast<size_t>(index)];
  socket.fd = fd;
  socket.peer = peer;
  socket.handed = 0;
  ++open_;
  if (!tick_.isActive()) tick_.start();
  listener.outcome_ = ListeningSocket::Outcome::kTaken;
  listener.taker_ = this;
  listener.takenIndex_ = index;
  return index;
}

void ConnectionSockets::ReadAfterAccept(int index) {
  const Dispatch dispatch(*this);
  const uint32_t serial = sockets_[static_cast<size_t>(index)].serial;
  OnReadable(index);
  // Still open (no request yet, or an answer on its way): from now on the epoll set
  // reports it. A connection answered at once never enters the set.
  if (sockets_[static_cast<size_t>(index)].serial == serial) Watch(index);
}

std::string ConnectionSockets::GetData(int index) {
  std::string data;
  data.swap(sockets_[static_cast<size_t>(index)].received);
  return data;
}

void ConnectionSockets::OnEpollReady() {
  const Dispatch dispatch(*this);
  epoll_event events[kEventsPerTurn];
  int n;
  do {
    n = epoll_wait(epoll_, events, kEventsPerTurn, 0);
  } while (n < 0 && errno == EINTR);
  for (int i = 0; i < n; ++i) {
    const int index = static_cast<int>(events[i].data.u64 & 0xFFFFFFFFu);
    const uint32_t serial = static_cast<uint32_t>(events[i].data.u64 >> 32);
    Socket& socket = sockets_[static_cast<size_t>(index)];
    auto current = [&] { return socket.fd >= 0 && socket.serial == serial; };
    if (!current()) continue;  // ended by an earlier event of this turn
    if (socket.draining) {
      OnDrainReadable(index);
      continue;
    }
    const uint32_t ready = events[i].events;
    if (ready & (EPOLLIN | EPOLLHUP | EPOLLERR)) OnReadable(index);
    if (current() && (ready & (EPOLLOUT | EPOLLHUP | EPOLLERR)) && socket.watched & EPOLLOUT) {
      OnWritable(index);
    }
    if (current()) Watch(index);
  }
}

void ConnectionSockets::OnReadable(int index) {
  Socket& socket = sockets_[static_cast<size_t>(index)];
  if (socket.fd < 0 || socket.peerClosed || socket.broken) return;
  static char buffer[kReadBytes];
  const ssize_t n = ::recv(socket.fd, buffer, sizeof buffer, 0);
  if (n > 0) {
    socket.received.append(buffer, static_cast<size_t>(n));
    if (DataArrival) DataArrival(index);
    return;
  }
  if (n < 0 && WouldBlock(errno)) return;
  if (n == 0) {
    socket.peerClosed = true;
    if (CloseEvent) CloseEvent(index);
    return;
  }
  socket.broken = true;
  if (Error) Error(index);
}

bool ConnectionSockets::Flush(Socket& socket) {
  while (socket.queueStart < socket.queue.size()) {
    const ssize_t n = ::send(socket.fd, socket.queue.data() + socket.queueStart,
                             socket.queue.size() - socket.queueStart, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      socket.queueStart += static_cast<size_t>(n);
      socket.handed += n;
      continue;
    }
    if (n < 0 && WouldBlock(errno)) break;
    socket.broken = true;
    return false;
  }
  if (socket.queueStart == socket.queue.size()) {
    socket.queue.clear();
    socket.queueStart = 0;
  }
  return true;
}

void ConnectionSockets::SendData(int index, const std::string& text) {
  Socket& socket = sockets_[static_cast<size_t>(index)];
  if (socket.fd < 0 || socket.draining || text.empty()) return;
  if (!socket.broken) {
    if (socket.queueStart == socket.queue.size()) {
      // Nothing waits in front of it: what the kernel takes at once is never copied.
      ssize_t n;
      do {
        n = ::send(socket.fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      } while (n < 0 && errno == EINTR);
      if (n < 0 && !WouldBlock(errno)) socket.broken = true;
      const size_t taken = n > 0 ? static_cast<size_t>(n) : 0;
      socket.handed += static_cast<int64_t>(taken);
      if (!socket.broken && taken < text.size()) socket.queue.assign(text, taken);
    } else {
      socket.queue += text;
    }
  }
  socket.completionDue = true;
  if (socket.broken || socket.queueStart == socket.queue.size()) {
    // Everything went to the kernel (or the connection broke): the completion (or the
    // error) is reported on the next turn of the loop.
    completions_.emplace_back(index, socket.serial);
    if (dispatching_ == 0) ScheduleCompletions();
  } else {
    Watch(index);  // the rest when the kernel takes more
  }
}

void ConnectionSockets::ScheduleCompletions() {
  std::erase_if(completions_, [this](const std::pair<int, uint32_t>& due) {
    const Socket& socket = sockets_[static_cast<size_t>(due.first)];
    return socket.fd < 0 || socket.serial != due.second || !socket.completionDue;
  });
  if (!completions_.empty() && !completionTimer_.isActive()) completionTimer_.start();
}

void ConnectionSockets::OnCompletions() {
  const Dispatch dispatch(*this);
  std::vector<std::pair<int, uint32_t>> due;
  due.swap(completions_);
  for (const auto& [index, serial] : due) {
    Socket& socket = sockets_[static_cast<size_t>(index)];
    if (socket.fd < 0 || socket.serial != serial || socket.draining || !socket.completionDue) {
      continue;
    }
    if (socket.broken) {
      socket.completionDue = false;
      if (Error) Error(index);
      continue;
    }
    if (socket.queueStart < socket.queue.size()) continue;  // OnWritable reports it
    socket.completionDue = false;
    if (SendComplete) SendComplete(index);
  }
}

void ConnectionSockets::OnWritable(int index) {
  Socket& socket = sockets_[static_cast<size_t>(index)];
  if (socket.broken || !Flush(socket)) {
    socket.completionDue = false;
    if (Error) Error(index);
    return;
  }
  if (socket.queueStart < socket.queue.size()) return;  // the rest when the kernel takes more
  socket.completionDue = false;
  if (SendComplete) SendComplete(index);
}

void ConnectionSockets::OnDrainReadable(int index) {
  Socket& socket = sockets_[static_cast<size_t>(index)];
  char scratch[16 * 1024];
  const ssize_t n = ::recv(socket.fd, scratch, sizeof scratch, 0);
  if (n > 0 || (n < 0 && WouldBlock(errno))) return;
  ::close(socket.fd);  // the client closed, or the connection broke
  Release(index);
}

void ConnectionSockets::Watch(int index) {
  Socket& socket = sockets_[static_cast<size_t>(index)];
  if (socket.fd < 0 || epoll_ < 0) return;
  uint32_t wanted = 0;
  if (socket.draining || (!socket.peerClosed && !socket.broken)) wanted |= EPOLLIN;
  if (!socket.draining && !socket.broken && socket.queueStart < socket.queue.size()) {
    wanted |= EPOLLOUT;
  }
  if (wanted == socket.watched) return;
  epoll_event event{};
  event.events = wanted;
  event.data.u64 = EventKey(index, socket.serial);
  const int operation = socket.watched == 0 ? EPOLL_CTL_ADD
                        : wanted == 0       ? EPOLL_CTL_DEL
                                            : EPOLL_CTL_MOD;
  if (epoll_ctl(epoll_, operation, socket.fd, &event) == 0) socket.watched = wanted;
}

void ConnectionSockets::OnTick() {
  const Dispatch dispatch(*this);
  const int64_t now = NowMs();
  for (size_t i = 0; i < sockets_.size(); ++i) {
    Socket& socket = sockets_[i];
    if (socket.fd < 0 || socket.deadline == 0 || now < socket.deadline) continue;
    socket.deadline = 0;
    const int index = static_cast<int>(i);
    if (socket.draining) {
      ::close(socket.fd);
      Release(index);
    } else if (TimeLimit) {
      TimeLimit(index);
    }
  }
  if (open_ == 0) tick_.stop();
}

bool ConnectionSockets::AllSent(int index) const {
  const Socket& socket = sockets_[static_cast<size_t>(index)];
  return socket.fd >= 0 && !socket.draining && !socket.broken &&
         socket.queueStart == socket.queue.size();
}

std::string ConnectionSockets::RemoteHostIP(int index) const {
  const Socket& socket = sockets_[static_cast<size_t>(index)];
  // An IPv4 client of the dual-stack listener shows as its IPv4 address.
  return socket.fd < 0 ? std::string() : IpAddress::FromSocket(socket.peer).ToText();
}

sockaddr_storage ConnectionSockets::RemoteAddress(int index) const {
  const Socket& socket = sockets_[static_cast<size_t>(index)];
  return socket.fd < 0 ? sockaddr_storage{} : socket.peer;
}

void ConnectionSockets::SetTimeLimit(int index, int64_t ms) {
  Socket& socket = sockets_[static_cast<size_t>(index)];
  socket.deadline = ms > 0 ? NowMs() + ms : 0;
}

int64_t ConnectionSockets::BytesTaken(int index) const {
  // What the kernel still holds for the client (sent and not acknowledged, or not sent)
  // has not been taken. The kernel takes our bytes in large steps when its buffer is
  // large; what the client takes shows here byte by byte.
  const Socket& socket = sockets_[static_cast<size_t>(index)];
  int held = 0;
  if (socket.fd < 0 || ::ioctl(socket.fd, TIOCOUTQ, &held) != 0) return socket.handed;
  return socket.handed - held;
}

void ConnectionSockets::Release(int index) {
  Socket& socket = sockets_[static_cast<size_t>(index)];
  socket.fd = -1;
  ++socket.serial;  // events and completions still on their way no longer match
  socket.watched = 0;
  socket.draining = socket.broken = socket.peerClosed = socket.completionDue = false;
  socket.deadline = 0;
  // A buffer that grew with a large request or answer is given back, not kept per index.
  if (socket.received.capacity() > kReadBytes) std::string().swap(socket.received);
  if (socket.queue.capacity() > kReadBytes) std::string().swap(socket.queue);
  socket.received.clear();
  socket.queue.clear();
  socket.queueStart = 0;
  freeIndexes_.push_back(index);
  --open_;
}

void ConnectionSockets::Close(int index, bool clientMaySendMore) {
  Socket& socket = sockets_[static_cast<size_t>(index)];
  if (socket.fd < 0 || socket.draining) return;
  const bool unsent = socket.broken || socket.queueStart < socket.queue.size();
  const bool unread = !socket.received.empty();
  int waiting = 0;
  if (unsent || socket.peerClosed ||
      (!clientMaySendMore && !unread && ::ioctl(socket.fd, FIONREAD, &waiting) == 0 &&
       waiting == 0)) {
    // A plain close: the answer is cut anyway, or nothing of the client's waits and
    // nothing more will come, so our end-of-stream follows the response directly.
    ::close(socket.fd);
    Release(index);
    return;
  }
  // The client may still be sending (a line end after a posted form): closing with
  // unread input would reset the connection, and the client could lose the end of the
  // answer. What it sends is read and dropped until it closes, or the time is up.
  ::shutdown(socket.fd, SHUT_WR);
  socket.draining = true;
  socket.completionDue = false;
  socket.received.clear();
  socket.deadline = NowMs() + kLingerMs;
  Watch(index);
}

void ConnectionSockets::Abort(int index) {
  Socket& socket = sockets_[static_cast<size_t>(index)];
  if (socket.fd < 0) return;
  ::close(socket.fd);
  Release(index);
}

void ConnectionSockets::Reset(int index) {
  Socket& socket = sockets_[static_cast<size_t>(index)];
  if (socket.fd < 0) return;
  const linger hard{1, 0};
  setsockopt(socket.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(socket.fd);
  Release(index);
}

}  // namespace vel
