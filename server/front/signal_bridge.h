// Brings SIGTERM, SIGHUP and SIGINT into the event loop: the signal handler only writes the
// signal's number into a pipe; the loop reads it and calls the handler, like any other
// event.
#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace vel {

class SignalBridge {
 public:
  explicit SignalBridge(std::function<void(int signal)> handler);
  ~SignalBridge();
  SignalBridge(const SignalBridge&) = delete;
  SignalBridge& operator=(const SignalBridge&) = delete;

 private:
  std::function<void(int)> handler_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace vel
