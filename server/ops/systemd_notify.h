// Readiness, status and the watchdog for systemd (a unit of Type=notify with
// WatchdogSec=): the sd_notify datagrams, sent to the socket that NOTIFY_SOCKET names (a
// path, or "@" and the name of an abstract socket). Without NOTIFY_SOCKET every call
// does nothing. Nothing here waits: a datagram that cannot go at once is dropped.
//
// The watchdog: when systemd sets WATCHDOG_USEC (and WATCHDOG_PID, when set, is this
// process), "WATCHDOG=1" goes out from a timer of the event loop at half that interval,
// so a loop that no longer turns stops feeding it and systemd restarts the server.
#pragma once

#include <QTimer>
#include <cstdint>
#include <string>

namespace vel {

class SystemdNotifier {
 public:
  SystemdNotifier();
  ~SystemdNotifier();
  SystemdNotifier(const SystemdNotifier&) = delete;
  SystemdNotifier& operator=(const SystemdNotifier&) = delete;

  bool Active() const { return fd_ >= 0; }
  // "READY=1", and the watchdog starts.
  void Ready();
  // "STATUS=" + text; the same text twice in a row is sent once.
  void Status(const std::string& text);
  // "STOPPING=1".
  void Stopping();

  // The interval the watchdog is fed at, 0 when systemd watches none.
  int64_t WatchdogIntervalMs() const { return watchdogMs_; }

 private:
  void Send(const std::string& text);

  int fd_ = -1;
  std::string address_;  // the sockaddr_un path; a leading NUL for an abstract socket
  int64_t watchdogMs_ = 0;
  std::string lastStatus_;
  QTimer watchdog_;
};

}  // namespace vel
