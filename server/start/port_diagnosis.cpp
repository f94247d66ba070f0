#include "port_diagnosis.h"

#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace vel {

namespace {

constexpr const char* kWhere = "HTTPPort in section [TCPIP] of VELWEB.INI";

// Binds and listens on `port` as the listener does (both IP versions where the machine
// has them, addresses reused); 0 when that works, the errno value otherwise.
int TryListen(uint16_t port) {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool v6 = fd >= 0;
  if (!v6) fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  const int on = 1;
  const int off = 0;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  int result;
  if (v6) {
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_any;
    result = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } else {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    result = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  if (result == 0) result = listen(fd, 1);
  const int error = result == 0 ? 0 : errno;
  close(fd);
  return error;
}

}  // namespace

std::string PortErrorText(int64_t port, int error) {
  const std::string n = std::to_string(port);
  // The English text and the name of the error, whatever the locale's language.
  const char* description = strerrordesc_np(error);
  const char* name = strerrorname_np(error);
  const std::string reason = std::string(description ? description : "Unknown error") + " (" +
                             (name ? name : std::to_string(error)) + ")";
  switch (error) {
    case EADDRINUSE:
      return reason + ": another program listens on port " + n +
             " (see which with: ss -ltnp 'sport = :" + n + "'); stop it, or set another " + kWhere +
             ".";
    case EACCES:
    case EPERM:
      if (port >= 1024) return reason + ".";
      return reason +
             ": ports below 1024 need root or the capability CAP_NET_BIND_SERVICE (the "
             "velweb.service unit grants it); or set " +
             kWhere + " to 1024 or above.";
    default:
      return reason + ".";
  }
}

std::string PortFailureReason(int64_t port) {
  if (port < 1 || port > 65535) {
    return "A port is a whole number from 1 to 65535: set " + std::string(kWhere) + ".";
  }
  const int error = TryListen(static_cast<uint16_t>(port));
  if (error == 0) return "The port was taken for a moment only; try again.";
  return PortErrorText(port, error);
}

}  // namespace vel
