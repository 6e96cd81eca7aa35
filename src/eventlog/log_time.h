#pragma once

#include <memory>
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

// The user's short-date and long-time formats. The programs answer with the
// system's (SystemDateFormat); tests with a fixed one.
class DateTimeFormat {
 public:
  virtual ~DateTimeFormat() = default;
  virtual std::string ShortDate(const LogTime& time) const = 0;
  virtual std::string LongTime(const LogTime& time) const = 0;
};

// The short date and the long time as the system gives them to every
// program of the machine: on POSIX the C library's %x and %X for the user's
// LC_TIME (from LC_ALL, LC_TIME or LANG), on Windows the user's own regional
// settings. The window and pxraid write their log lines with it, so that
// one day's file, which both add to, holds one form of date.
class SystemDateFormat final : public DateTimeFormat {
 public:
  // `locale` names the locale to format for ("de_DE.UTF-8" on POSIX,
  // "de-DE" on Windows); empty: the user's. One the system does not know
  // gives the C library's own ("12/07/26", "15:04:05") on POSIX, the user's
  // on Windows.
  explicit SystemDateFormat(const std::string& locale = {});
  ~SystemDateFormat() override;
  SystemDateFormat(const SystemDateFormat&) = delete;
  SystemDateFormat& operator=(const SystemDateFormat&) = delete;

  std::string ShortDate(const LogTime& time) const override;
  std::string LongTime(const LogTime& time) const override;

 private:
  struct Locale;
  std::unique_ptr<Locale> locale_;
};

// Short date, one space, long time; exactly at midnight the date alone, which
// is how the log has always written that moment.
std::string FormatTimestamp(const LogTime& time, const DateTimeFormat& format);

// "yymmdd.log": the day's log file.
std::string LogFileName(const LogTime& time);

// The current local date and time.
LogTime LocalNow();

}  // namespace px
