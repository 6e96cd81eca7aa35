#include "eventlog/log_time.h"

#include <ctime>

namespace px {

namespace {

std::string TwoDigits(int value) {
  return {static_cast<char>('0' + value / 10 % 10), static_cast<char>('0' + value % 10)};
}

}  // namespace

std::string FormatTimestamp(const LogTime& time, const DateTimeFormat& format) {
  if (time.hour == 0 && time.minute == 0 && time.second == 0) return format.ShortDate(time);
  return format.ShortDate(time) + ' ' + format.LongTime(time);
}

std::string LogFileName(const LogTime& time) {
  return TwoDigits(time.year % 100) + TwoDigits(time.month) + TwoDigits(time.day) + ".log";
}

LogTime LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
          local.tm_hour,        local.tm_min,     local.tm_sec};
}

}  // namespace px
