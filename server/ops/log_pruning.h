// Bounded logs: the daily log files ("YYYYMMDD.LOG", see event_log.h) older than
// [General] LogDays days are removed, at start and at each change of day. Only names
// that are a daily log's (eight digits of a real date and ".LOG") are touched.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace vel {

// The date a daily log's name stands for, as days since 1970-01-01; nothing for any
// other name.
std::optional<int64_t> DailyLogDay(const std::string& name);

// Removes the daily logs in `dir` whose day lies more than `days` days before `today`
// (days since 1970-01-01, local date); `days` 0 keeps every one. The names removed; each
// one that could not be removed goes to `kept`, with the system's reason.
struct KeptLog {
  std::string name;
  int error = 0;
};
std::vector<std::string> PruneDailyLogs(const std::string& dir, int64_t today, int days,
                                        std::vector<KeptLog>* kept = nullptr);

// Today's local date, in days since 1970-01-01.
int64_t LocalDay(std::time_t when);

}  // namespace vel
