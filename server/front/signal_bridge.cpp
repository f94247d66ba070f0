#include "signal_bridge.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace vel {

namespace {

int pipeFds[2] = {-1, -1};

void OnSignal(int signal) {
  const unsigned char number = static_cast<unsigned char>(signal);
  const int saved = errno;
  [[maybe_unused]] ssize_t written = write(pipeFds[1], &number, 1);
  errno = saved;
}

}  // namespace

SignalBridge::SignalBridge(std::function<void(int)> handler) : handler_(std::move(handler)) {
  if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(pipeFds[0], QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
    unsigned char number;
    while (read(pipeFds[0], &number, 1) == 1) {
      if (handler_) handler_(number);
    }
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

SignalBridge::~SignalBridge() {
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  notifier_.reset();
  for (int& fd : pipeFds) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

}  // namespace vel
