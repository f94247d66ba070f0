// What the tests share about the network: a free port, and a plain TCP client on
// loopback whose every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "files.h"

namespace veltest {

// A port nobody listens on right now, below the kernel's ephemeral range: the tests'
// own client connections take their local ports from that range, and one of them could
// hold a port from it by the time velweb binds. Ports are tried from a point that
// differs between processes, so that tests running side by side do not pick the same.
inline int FreePort() {
  int ephemeralLow = 32768;
  if (FILE* range = fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    if (fscanf(range, "%d", &ephemeralLow) != 1) ephemeralLow = 32768;
    fclose(range);
  }
  const int first = ephemeralLow > 12000 ? 10000 : 1024;
  const int span = ephemeralLow - first;
  static unsigned next =
      static_cast<unsigned>(getpid()) * 7919u + static_cast<unsigned>(time(nullptr));
  auto bindable = [](int family, int port) {
    const int fd = socket(family, SOCK_STREAM, 0);
    if (fd < 0) return family == AF_INET6;  // no IPv6 on this machine
    sockaddr_storage address{};
    socklen_t length;
    if (family == AF_INET) {
      auto& a = reinterpret_cast<sockaddr_in&>(address);
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(port));
      length = sizeof a;
    } else {
      auto& a = reinterpret_cast<sockaddr_in6&>(address);
      a.sin6_family = AF_INET6;
      a.sin6_port = htons(static_cast<uint16_t>(port));
      length = sizeof a;
    }
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    close(fd);
    return free;
  };
  for (int tries = 0; tries < span; ++tries) {
    const int port = first + static_cast<int>(next++ % static_cast<unsigned>(span));
    if (bindable(AF_INET, port) && bindable(AF_INET6, port)) return port;
  }
  return 0;
}

// The local address a client connects from: another loopback address (127.0.0.2, ...)
// so that the server sees clients apart, or "::1" for IPv6.
struct From {
  std::string address;
};

// One TCP client connection to 127.0.0.1 (to ::1 from an IPv6 address).
class Client {
 public:
  // `receiveBuffer`, when given, is set before connecting: a fixed, small window.
  explicit Client(int port, int receiveBuffer = 0) : Client(port, From{}, receiveBuffer) {}

  Client(int port, const From& from, int receiveBuffer = 0) {
    sockaddr_storage local{}, remote{};
    socklen_t length = sizeof(sockaddr_in);
    if (from.address.find(':') != std::string::npos) {
      auto& l = reinterpret_cast<sockaddr_in6&>(local);
      auto& r = reinterpret_cast<sockaddr_in6&>(remote);
      l.sin6_family = r.sin6_family = AF_INET6;
      inet_pton(AF_INET6, from.address.c_str(), &l.sin6_addr);
      r.sin6_addr = in6addr_loopback;
      r.sin6_port = htons(static_cast<uint16_t>(port));
      length = sizeof(sockaddr_in6);
    } else {
      auto& l = reinterpret_cast<sockaddr_in&>(local);
      auto& r = reinterpret_cast<sockaddr_in&>(remote);
      l.sin_family = r.sin_family = AF_INET;
      if (!from.address.empty()) inet_pton(AF_INET, from.address.c_str(), &l.sin_addr);
      r.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      r.sin_port = htons(static_cast<uint16_t>(port));
    }
    fd_ = socket(remote.ss_family, SOCK_STREAM, 0);
    if (receiveBuffer > 0) {
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    if (!from.address.empty() && bind(fd_, reinterpret_cast<sockaddr*>(&local), length) != 0) {
      return;
    }
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&remote), length) == 0;
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return connected_; }

  bool Send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  // True when something (data or the end) can be read within `timeout`.
  bool Readable(milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(timeout.count())) > 0;
  }

  // Everything until the server closes, or what came until `timeout`; `closed` tells
  // whether the end was seen.
  std::string ReadToEnd(milliseconds timeout = milliseconds(8000), bool* closed = nullptr) {
    std::string data;
    const auto end = Clock::now() + timeout;
    bool sawEnd = false;
    while (Clock::now() < end) {
      const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
      if (!Readable(std::max(left, milliseconds(1)))) continue;
      char buffer[65536];
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        sawEnd = true;
        break;
      }
      data.append(buffer, static_cast<size_t>(n));
    }
    if (closed) *closed = sawEnd;
    return data;
  }

  // What has come so far (`most` bytes at most), without waiting; `closed` is set once the
  // end is seen (true for an orderly end or a reset), `error` to the error that ended it
  // (ECONNRESET), if any.
  std::string ReadNow(size_t most = SIZE_MAX, bool* closed = nullptr, int* error = nullptr) {
    std::string data;
    char buffer[65536];
    while (data.size() < most) {
      const ssize_t n =
          recv(fd_, buffer, std::min(sizeof buffer, most - data.size()), MSG_DONTWAIT);
      if (n > 0) {
        data.append(buffer, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return data;
      if (closed) *closed = true;
      if (error && n < 0) *error = errno;
      return data;
    }
    return data;
  }

  // Reads what has come, then pauses, until the server closes or `timeout` has passed.
  std::string ReadSlowly(milliseconds pause, milliseconds timeout) {
    std::string data;
    const auto end = Clock::now() + timeout;
    char buffer[65536];
    while (Clock::now() < end) {
      const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN)) break;
      if (n > 0) data.append(buffer, static_cast<size_t>(n));
      std::this_thread::sleep_for(pause);
    }
    return data;
  }

  // Reads until the connection ends: 0 for an orderly end, else the error (ECONNRESET
  // for a reset); -1 when it has not ended within `timeout`.
  int ReadUntilError(milliseconds timeout = milliseconds(8000)) {
    const auto end = Clock::now() + timeout;
    char buffer[65536];
    while (Clock::now() < end) {
      if (!Readable(milliseconds(50))) continue;
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n == 0) return 0;
      if (n < 0) return errno;
    }
    return -1;
  }

  // Closes the sending side only: the server reads an end after the request.
  void ShutdownSending() { shutdown(fd_, SHUT_WR); }

  // Ends the connection with a reset instead of an orderly close.
  void Reset() {
    linger hard{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd_);
    fd_ = -1;
  }

  // Shrinks the receive buffer, so that a client that does not read holds the server up.
  void SmallReceiveBuffer() {
    int size = 4096;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

}  // namespace veltest
