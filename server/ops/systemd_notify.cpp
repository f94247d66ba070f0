#include "systemd_notify.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace vel {

namespace {

int64_t WatchdogUsec() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (!usec || !*usec) return 0;
  if (const char* pid = std::getenv("WATCHDOG_PID"); pid && *pid) {
    if (std::strtoll(pid, nullptr, 10) != static_cast<long long>(getpid())) return 0;
  }
  char* end = nullptr;
  const long long value = std::strtoll(usec, &end, 10);
  return *end == '\0' && value > 0 ? value : 0;
}

}  // namespace

SystemdNotifier::SystemdNotifier() {
  const char* socketName = std::getenv("NOTIFY_SOCKET");
  if (!socketName || !*socketName) return;
  address_ = socketName;
  if (address_[0] == '@') address_[0] = '\0';
  if ((address_[0] != '/' && address_[0] != '\0') ||
      address_.size() >= sizeof(sockaddr_un::sun_path))
    return;
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int64_t usec = WatchdogUsec();
  if (fd_ < 0 || usec == 0) return;
  watchdogMs_ = std::max<int64_t>(usec / 2000, 1);
  watchdog_.setInterval(static_cast<int>(std::min<int64_t>(watchdogMs_, INT32_MAX)));
  QObject::connect(&watchdog_, &QTimer::timeout, [this] { Send("WATCHDOG=1"); });
}

SystemdNotifier::~SystemdNotifier() {
  if (fd_ >= 0) close(fd_);
}

void SystemdNotifier::Send(const std::string& text) {
  if (fd_ < 0) return;
  sockaddr_un to{};
  to.sun_family = AF_UNIX;
  std::memcpy(to.sun_path, address_.data(), address_.size());
  const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                                  address_.size() + (address_[0] == '\0' ? 0 : 1));
  sendto(fd_, text.data(), text.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), length);
}

void SystemdNotifier::Ready() {
  Send("READY=1");
  if (watchdogMs_ > 0) {
    Send("WATCHDOG=1");
    watchdog_.start();
  }
}

void SystemdNotifier::Status(const std::string& text) {
  if (fd_ < 0 || text == lastStatus_) return;
  lastStatus_ = text;
  Send("STATUS=" + text);
}

void SystemdNotifier::Stopping() {
  watchdog_.stop();
  Send("STOPPING=1");
}

}  // namespace vel
