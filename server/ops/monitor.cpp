#include "monitor.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "clock.h"
#include "event_log.h"
#include "exchange_worker.h"
#include "kept_commands.h"
#include "log_pruning.h"
#include "profile_keys.h"
#include "vel_proc.h"

namespace vel {

namespace {

constexpr int kTickMs = 1000;
// After a reading that found the region lock held too long (a program of the family
// stopped while holding it), the next one waits this long: each costs the exchange
// thread, and the hand-overs queued behind it, a wait for the lock.
constexpr int64_t kAfterLockTimeoutMs = 10000;

int NonNegative(int64_t value) {
  return static_cast<int>(std::clamp<int64_t>(value, 0, 1000000000));
}

}  // namespace

bool ReadMonitorSettings(const std::string& profile, MonitorSettings& settings,
                         std::string& error) {
  settings.stallSeconds = NonNegative(ReadProfileNumber(ProfileSetting::kStallSeconds, profile));
  settings.logDays = NonNegative(ReadProfileNumber(ProfileSetting::kLogDays, profile));
  const std::string from = ReadProfileKey(ProfileSetting::kStatusFrom, profile);
  std::string why;
  if (!ParseNetworks(from, settings.statusFrom, why)) {
    error = "[Status] From in " + profile + ": " + why +
            ". Write the addresses and networks that may ask for /metrics and /health, such as "
            "127.0.0.1, ::1, or leave it empty to turn both off.";
    return false;
  }
  return true;
}

Monitor::Monitor() {
  timer_.setInterval(kTickMs);
  QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
}

void Monitor::Start(MonitorSettings settings, Hooks hooks) {
  settings_ = std::move(settings);
  hooks_ = std::move(hooks);
  watch_ = StallWatch(settings_.stallSeconds);
  started_ = true;
  day_ = LocalDay(std::time(nullptr));
  PruneLogs();
  AskReading();
  timer_.start();
  notifier_.Ready();
}

void Monitor::Stopping() {
  timer_.stop();
  notifier_.Stopping();
}

void Monitor::Tick() {
  const int64_t today = LocalDay(std::time(nullptr));
  if (today != day_) {
    day_ = today;
    PruneLogs();
  }
  AskReading();
  if (notifier_.Active()) {
    notifier_.Status(
        "Served requests: " + std::to_string(hooks_.servedRequests()) + "; " +
        std::to_string(watch_.Waiting()) + " messages waiting" +
        (hooks_.outbox ? "; " + std::to_string(hooks_.outbox->Counts().Depth()) + " in the outbox"
                       : std::string()) +
        (!watch_.Taking() ? "; the alarm server takes none"
         : !watch_.Seen() ? "; no alarm server seen"
                          : ""));
  }
}

void Monitor::AskReading() {
  // One reading at a time: while a call waits for the lock, the ticks do not pile up.
  if (readingAsked_ || NowMs() < nextReadingMs_) return;
  readingAsked_ = true;
  ExchangeWorker::Instance().Run([this] {
    // Kept messages that found no room at the start get another try.
    HandBackWaitingKeptCommands();
    const BufferReading reading = ReadCommandBuffer();
    ExchangeWorker::Reply(Context(), [this, reading] {
      readingAsked_ = false;
      Take(reading);
    });
  });
}

void Monitor::Take(const BufferReading& reading) {
  if (reading.lockTimedOut) {
    metrics_.CountLockTimeout();
    nextReadingMs_ = NowMs() + kAfterLockTimeoutMs;
  }
  if (const std::optional<std::string> line = watch_.Take(reading, NowMs()); line && started_) {
    if (hooks_.announce) hooks_.announce(*line);
  }
}

void Monitor::PruneLogs() {
  if (settings_.logDays <= 0) return;
  const int64_t today = day_;
  const int days = settings_.logDays;
  // Files are the exchange thread's business: the event loop never waits on a disk.
  ExchangeWorker::Instance().Run([today, days] {
    std::vector<KeptLog> kept;
    const std::vector<std::string> removed = PruneDailyLogs(ProgramDir(), today, days, &kept);
    if (!removed.empty()) {
      WriteLogFromExchange("Velmar Web Server removed " + std::to_string(removed.size()) +
                           " daily logs older than " + std::to_string(days) + " days");
    }
    for (const KeptLog& log : kept) {
      const std::string line = "Velmar Web Server could not remove the daily log " + log.name +
                               " (older than " + std::to_string(days) +
                               " days): " + std::strerror(log.error);
      WriteLogFromExchange(line);
      WarnFromExchange(line);
    }
  });
}

Gauges Monitor::CurrentGauges() const {
  const int64_t now = NowMs();
  Gauges g;
  g.connectionsOpen = hooks_.connectionsOpen ? hooks_.connectionsOpen() : 0;
  g.servedRequests = hooks_.servedRequests ? hooks_.servedRequests() : 0;
  g.libraryLoaded = watch_.Last().libraryLoaded;
  g.regionJoined = watch_.Last().regionJoined;
  g.alarmServerTaking = watch_.Taking();
  g.alarmServerSeen = watch_.Seen();
  g.waiting = watch_.Waiting();
  g.secondsSinceMoved = watch_.SecondsSinceMoved(now);
  if (hooks_.outbox) {
    g.outbox = hooks_.outbox->Counts();
    g.outboxFailing = hooks_.outbox->Failing();
    if (g.outbox->oldestAcceptedMs != 0) {
      g.outboxOldestSeconds = std::max<int64_t>(0, (WallMs() - g.outbox->oldestAcceptedMs) / 1000);
    }
    g.stallSeconds = settings_.stallSeconds;
  }
  return g;
}

std::optional<StatusAnswer> Monitor::Answer(const HttpRequest& request, const IpAddress& client) {
  if (settings_.statusFrom.empty()) return std::nullopt;
  const StatusPath path = request.Status();
  if (path == StatusPath::kNone) return std::nullopt;
  StatusAnswer answer;
  if (!InNetworks(settings_.statusFrom, client)) {
    answer.status = 403;
    answer.contentType = "text/plain; charset=utf-8";
    answer.body = "This address may not ask for the server's status.\n";
    return answer;
  }
  const Gauges gauges = CurrentGauges();
  if (path == StatusPath::kMetrics) {
    answer.contentType = kMetricsContentType;
    answer.body = metrics_.Render(gauges);
  } else {
    bool healthy = false;
    answer.contentType = "application/json";
    answer.body = HealthJson(gauges, healthy);
    answer.status = healthy ? 200 : 503;
  }
  return answer;
}

std::string Monitor::JsonFields() const {
  return ", \"waiting\": " + std::to_string(watch_.Waiting()) +
         ", \"alarmServerTaking\": " + (watch_.Taking() ? "true" : "false");
}

std::string Monitor::WaitingNote() const { return watch_.WaitingNote(NowMs()); }

}  // namespace vel
