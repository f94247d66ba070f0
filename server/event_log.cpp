#include "event_log.h"

#include <cstdio>

#include "exchange_worker.h"
#include "vel_proc.h"
#include "velmar_library.h"

namespace vel {

namespace {

void Append(std::time_t when, const std::string& text) {
  // One reading of the clock for both the file name and the stamp.
  std::tm local{};
  localtime_r(&when, &local);
  VelmarLibrary::Instance().SetSysLogEntry(ProgramFile(LogFileName(local)), LogLine(local, text));
}

}  // namespace

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
