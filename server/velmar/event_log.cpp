#include "event_log.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QPointer>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "exchange_worker.h"
#include "vel_proc.h"
#include "velmar_library.h"

namespace vel {

namespace {

constexpr std::time_t kReportEverySeconds = 60;

// Set from the event loop's thread, read on the exchange thread.
std::mutex g_reportMutex;
QPointer<QObject> g_reportContext;
std::function<void(const std::string&)> g_report;

// Exchange thread only.
std::time_t g_lastReport = 0;

std::string AccountName(uid_t uid) {
  const passwd* account = getpwuid(uid);
  return account ? account->pw_name : "uid " + std::to_string(uid);
}

void ReportFailure(const std::string& file, int error, std::time_t when) {
  if (g_lastReport != 0 && when - g_lastReport < kReportEverySeconds) return;
  g_lastReport = when;
  std::string text = "the log file " + file + " could not be written: " + std::strerror(error);
  // A day's log made by another account (velweb started by hand as root, say) keeps the
  // rest of the day unlogged: say whose it is and what gives it back.
  struct stat info {};
  if (stat(file.c_str(), &info) == 0 && info.st_uid != geteuid()) {
    const std::string me = AccountName(geteuid());
    text += "; it belongs to " + AccountName(info.st_uid) + ", not to " + me +
            ", which runs the server: give it back (chown " + me + " " + file +
            ") or remove it, and the day's lines go on there";
  }
  WarnFromExchange(text);
}

void Append(std::time_t when, const std::string& text) {
  // One reading of the clock for both the file name and the stamp.
  std::tm local{};
  localtime_r(&when, &local);
  VelmarLibrary& library = VelmarLibrary::Instance();
  const std::string file = ProgramFile(LogFileName(local));
  library.SetSysLogEntry(file, LogLine(local, text));
  const std::optional<int32_t> error = library.GetSysLogFileError();
  if (error && *error != 0) ReportFailure(file, *error, when);
}

}  // namespace

void WarnFromExchange(const std::string& text) {
  std::lock_guard<std::mutex> lock(g_reportMutex);
  if (g_reportContext) {
    ExchangeWorker::Reply(g_reportContext, [report = g_report, text] { report(text); });
  } else {
    std::fprintf(stderr, "Warning: %s\n", text.c_str());
  }
}

void SetWarningReport(QObject* context, std::function<void(const std::string&)> report) {
  std::lock_guard<std::mutex> lock(g_reportMutex);
  g_reportContext = context;
  g_report = std::move(report);
}

std::string LogFileName(const std::tm& when) {
  char name[32];
  std::snprintf(name, sizeof name, "%04d%02d%02d.LOG", when.tm_year + 1900, when.tm_mon + 1,
                when.tm_mday);
  return name;
}

std::string LogLine(const std::tm& when, const std::string& text) {
  if (text == "-") return text;
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d-%02d-%02d %02d:%02d:%02d ", when.tm_year % 100,
                when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
  return stamp + std::string("WEB ") + text;
}

void WriteLog(const std::string& text) {
  const std::time_t now = std::time(nullptr);
  ExchangeWorker::Instance().Run([now, text] { Append(now, text); });
}

void WriteLogFromExchange(const std::string& text) { Append(std::time(nullptr), text); }

}  // namespace vel
