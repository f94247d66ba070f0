#include "socket_facility.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace vel {

namespace {
// How long a closed connection may still drain what its client sends.
constexpr int kLingerMs = 2000;
}  // namespace

Winsock::Winsock() = default;

Winsock::~Winsock() {
  if (socket_) {
    socket_->disconnect(this);
    socket_->abort();
  }
}

// ---- listener ------------------------------------------------------------------------

int32_t Winsock::LocalPort() const {
  if (server_ && server_->isListening()) return server_->serverPort();
  return localPort_;
}

bool Winsock::Listen() {
  if (localPort_ < 1 || localPort_ > 65535) return false;
  auto* server = new QTcpServer(this);
  // One client is taken over at a time; the others wait in the kernel's backlog.
  server->setMaxPendingConnections(1);
  if (!server->listen(QHostAddress::Any, static_cast<quint16>(localPort_))) {
    delete server;
    return false;
  }
  server_ = server;
  QObject::connect(server_, &QTcpServer::newConnection, this, [this] { OnNewConnection(); });
  return true;
}

bool Winsock::HasPending() const { return server_ && server_->hasPendingConnections(); }

void Winsock::OnNewConnection() {
  if (announcedId_ != 0) return;  // the one waiting connection is announced already
  announcedId_ = nextRequestId_++;
  if (ConnectionRequest) ConnectionRequest(announcedId_);
}

void Winsock::AnnouncePending() {
  QTimer::singleShot(0, this, [this] {
    if (!HasPending()) return;
    if (announcedId_ == 0) announcedId_ = nextRequestId_++;
    if (ConnectionRequest) ConnectionRequest(announcedId_);
  });
}

// ---- connection ----------------------------------------------------------------------

int32_t Winsock::GetState() const {
  if (socket_) return kConnected;
  if (server_) return kListening;
  return kClosed;
}

bool Winsock::Accept(Winsock& listener, int32_t requestId) {
  if (socket_ || !listener.server_ || requestId != listener.announcedId_) return false;
  QTcpSocket* socket = listener.server_->nextPendingConnection();
  listener.announcedId_ = 0;
  if (!socket) return false;
  socket_ = socket;
  socket_->setParent(this);
  QObject::connect(socket_, &QTcpSocket::readyRead, this, [this] { OnReadyRead(); });
  QObject::connect(socket_, &QTcpSocket::bytesWritten, this, [this] { OnBytesWritten(); });
  QObject::connect(socket_, &QTcpSocket::disconnected, this, [this] { OnDisconnected(); });
  QObject::connect(socket_, &QTcpSocket::errorOccurred, this, [this] { OnError(); });
  // Data (or the client's close) that came while the connection waited was announced to
  // nobody: announce it now, from the event loop.
  QPointer<QTcpSocket> taken(socket_);
  QTimer::singleShot(0, this, [this, taken] {
    if (!taken || taken != socket_) return;
    if (taken->bytesAvailable() > 0) OnReadyRead();
    if (taken && taken == socket_ && taken->state() == QAbstractSocket::UnconnectedState) {
      OnDisconnected();
    }
  });
  return true;
}

std::string Winsock::GetData() {
  if (!socket_) return {};
  const QByteArray data = socket_->readAll();
  return std::string(data.constData(), static_cast<size_t>(data.size()));
}

void Winsock::SendData(const std::string& text) {
  if (!socket_ || text.empty()) return;
  socket_->write(text.data(), static_cast<qint64>(text.size()));
}

int64_t Winsock::BytesQueued() const { return socket_ ? socket_->bytesToWrite() : 0; }

std::string Winsock::RemoteHostIP() const {
  if (!socket_) return {};
  QHostAddress address = socket_->peerAddress();
  bool isV4 = false;
  const quint32 v4 = address.toIPv4Address(&isV4);
  if (isV4) address = QHostAddress(v4);
  return address.toString().toStdString();
}

QTcpSocket* Winsock::Detach() {
  QTcpSocket* socket = socket_;
  socket_ = nullptr;
  if (socket) socket->disconnect(this);
  return socket;
}

void Winsock::Close(bool clientMaySendMore) {
  QTcpSocket* socket = Detach();
  if (!socket) return;
  if (socket->state() != QAbstractSocket::ConnectedState || socket->bytesToWrite() > 0) {
    socket->abort();
    socket->deleteLater();
    return;
  }
  const int descriptor = static_cast<int>(socket->socketDescriptor());
  int unread = 0;
  if (!clientMaySendMore && socket->bytesAvailable() == 0 &&
      ::ioctl(descriptor, FIONREAD, &unread) == 0 && unread == 0) {
    // Nothing of the client's waits and nothing more is expected: a plain close sends our
    // end-of-stream behind the response, and there is nothing to drain.
    socket->abort();
    socket->deleteLater();
    return;
  }
  // Closing a socket with unread input resets the connection, and the client may lose
  // the end of the response. Send our end-of-stream, then drain until the client closes.
  // It stays our child, so that the end of the program takes it along.
  ::shutdown(descriptor, SHUT_WR);
  QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
  QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
  QObject::connect(socket, &QTcpSocket::errorOccurred, socket, &QObject::deleteLater);
  // The time limit is the socket's own child, so it goes when the socket goes. (A
  // single-shot timer with the socket as context would stay registered for its full time
  // after the client had closed, and thousands of them slow every timer operation.)
  auto* linger = new QTimer(socket);
  linger->setSingleShot(true);
  QObject::connect(linger, &QTimer::timeout, socket, [socket] {
    socket->abort();
    socket->deleteLater();
  });
  linger->start(kLingerMs);
  socket->readAll();
}

void Winsock::Abort() {
  QTcpSocket* socket = Detach();
  if (!socket) return;
  socket->abort();
  socket->deleteLater();
}

void Winsock::OnReadyRead() {
  if (socket_ && DataArrival) DataArrival();
}

void Winsock::OnBytesWritten() {
  if (socket_ && socket_->bytesToWrite() == 0 && SendComplete) SendComplete();
}

void Winsock::OnDisconnected() {
  if (!socket_) return;
  QTcpSocket* socket = Detach();
  socket->deleteLater();
  if (CloseEvent) CloseEvent();
}

void Winsock::OnError() {
  if (!socket_) return;
  // The client's close arrives as an error first; the disconnect that follows handles it.
  if (socket_->error() == QAbstractSocket::RemoteHostClosedError) return;
  if (Error) Error();
}

}  // namespace vel
