// What an admin and a supervisor see of the running server, beside the pages: whether
// the alarm server takes the messages (stall_watch.h), /metrics and /health for
// monitoring (metrics.h), readiness, status and the watchdog for systemd
// (systemd_notify.h), and the pruning of old daily logs (log_pruning.h).
//
// The core owns one Monitor and calls it from the event loop only. Start, once the server
// listens, begins a timer of one second: each tick asks the exchange thread for a reading
// of the command buffer (one at a time; never the library on the event loop), updates
// systemd's status line, and at a change of day removes the daily logs past LogDays.
//
// Settings (read by ReadMonitorSettings):
//   [General] StallSeconds  how long waiting messages may lie untaken before the alarm
//                           server counts as not taking (60; 0: never)
//   [General] LogDays       daily logs older than this many days are removed (0: kept)
//   [Status]  From          addresses and networks served /metrics and /health
//                           ("127.0.0.1, ::1"; empty: both are off, as unknown pages)
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ip_networks.h"
#include "metrics.h"
#include "outbox.h"
#include "request.h"
#include "stall_watch.h"
#include "systemd_notify.h"

namespace vel {

struct MonitorSettings {
  int stallSeconds = 60;
  int logDays = 0;
  std::vector<Network> statusFrom;
};

// From "VELWEB.INI". False, with a message naming the key, when [Status] From holds an
// entry that is no address or network. Negative numbers read as 0.
bool ReadMonitorSettings(const std::string& profile, MonitorSettings& settings, std::string& error);

// An answer to a status request.
struct StatusAnswer {
  int status = 200;
  std::string contentType;
  std::string body;
};

class Monitor {
 public:
  struct Hooks {
    std::function<int32_t()> servedRequests;
    std::function<int()> connectionsOpen;
    // A line for the log and the console (the start and end of a stall).
    std::function<void(const std::string&)> announce;
    // With an outbox: the outbox.
    const Outbox* outbox = nullptr;
  };

  Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // Once the server listens: settings, the first reading, old logs pruned, READY=1.
  void Start(MonitorSettings settings, Hooks hooks);
  // The server is about to end: STOPPING=1.
  void Stopping();

  // A reading made on the exchange thread (after a hand-over), on the event loop.
  void Take(const BufferReading& reading);

  // For a request of a status path, the answer; nothing for any other request, and for
  // every request while [Status] From is empty. `client` is the request's client as the
  // access rules see it.
  std::optional<StatusAnswer> Answer(const HttpRequest& request, const IpAddress& client);

  ServerMetrics& Metrics() { return metrics_; }
  // Whether `client` is one of [Status] From.
  bool StatusAllowed(const IpAddress& client) const {
    return !settings_.statusFrom.empty() && InNetworks(settings_.statusFrom, client);
  }
  // "waiting" and "alarmServerTaking" for the JSON answer to a message handed over.
  std::string JsonFields() const;
  // The result page's note while the alarm server does not take (Windows-1252 text, not
  // HTML): the empty text else.
  std::string WaitingNote() const;

 private:
  void Tick();
  void AskReading();
  void PruneLogs();
  Gauges CurrentGauges() const;
  QObject* Context() { return &replies_; }

  MonitorSettings settings_;
  Hooks hooks_;
  bool started_ = false;
  StallWatch watch_;
  ServerMetrics metrics_;
  SystemdNotifier notifier_;
  QObject replies_;  // readings of the exchange thread arrive through it
  QTimer timer_;
  bool readingAsked_ = false;
  int64_t nextReadingMs_ = 0;  // no regular reading before then
  int64_t day_ = 0;
};

}  // namespace vel
