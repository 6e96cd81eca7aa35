#pragma once

#include <string>

namespace px {

// A local civil date and time. Every line of one log run carries the same
// moment, and the day's file is named after it.
struct LogTime {
  int year = 2000;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  friend bool operator==(const LogTime&, const LogTime&) = default;
};

// The user's short-date and long-time formats. The window answers with the
// system locale's; tests and tools with a fixed one.
class DateTimeFormat {
 public:
  virtual ~DateTimeFormat() = default;
  virtual std::string ShortDate(const LogTime& time) const = 0;
  virtual std::string LongTime(const LogTime& time) const = 0;
};

// Short date, one space, long time; exactly at midnight the date alone, which
// is how the log has always written that moment.
std::string FormatTimestamp(const LogTime& time, const DateTimeFormat& format);

// "yymmdd.log": the day's log file.
std::string LogFileName(const LogTime& time);

// The current local date and time.
LogTime LocalNow();

}  // namespace px
