#include "log_pruning.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>

namespace vel {

namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

std::optional<int64_t> DailyLogDay(const std::string& name) {
  if (name.size() != 12 || name.compare(8, 4, ".LOG") != 0) return std::nullopt;
  int value[3] = {0, 0, 0};
  const int widths[3] = {4, 2, 2};
  size_t at = 0;
  for (int part = 0; part < 3; ++part) {
    for (int i = 0; i < widths[part]; ++i, ++at) {
      if (name[at] < '0' || name[at] > '9') return std::nullopt;
      value[part] = value[part] * 10 + (name[at] - '0');
    }
  }
  const int year = value[0], month = value[1], day = value[2];
  static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return std::nullopt;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return std::nullopt;
  return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
}

int64_t LocalDay(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  return DaysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                       static_cast<unsigned>(local.tm_mday));
}

std::vector<std::string> PruneDailyLogs(const std::string& dir, int64_t today, int days,
                                        std::vector<KeptLog>* kept) {
  std::vector<std::string> removed;
  if (days <= 0) return removed;
  DIR* listing = opendir(dir.c_str());
  if (!listing) return removed;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    const std::optional<int64_t> day = DailyLogDay(name);
    if (!day || today - *day <= days) continue;
    if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
    if (unlink((dir + name).c_str()) == 0) {
      removed.push_back(name);
    } else if (kept) {
      kept->push_back({name, errno});
    }
  }
  closedir(listing);
  return removed;
}

}  // namespace vel
