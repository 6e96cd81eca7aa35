#include <clocale>
#include <ctime>

#include "eventlog/log_time.h"

namespace px {

// A locale of the C library's own for LC_TIME alone, so that the process's
// locale, which belongs to the front end (the window's toolkit sets it),
// stays as it is.
struct SystemDateFormat::Locale {
  locale_t handle = locale_t{};
};

namespace {

std::string Format(const LogTime& time, const char* pattern, locale_t locale) {
  std::tm parts{};
  parts.tm_year = time.year - 1900;
  parts.tm_mon = time.month - 1;
  parts.tm_mday = time.day;
  parts.tm_hour = time.hour;
  parts.tm_min = time.minute;
  parts.tm_sec = time.second;
  parts.tm_isdst = -1;
  char text[128] = {};
  return std::string(text, strftime_l(text, sizeof text, pattern, &parts, locale));
}

}  // namespace

SystemDateFormat::SystemDateFormat(const std::string& locale)
    : locale_(std::make_unique<Locale>()) {
  // An empty name is the user's, from the environment.
  locale_->handle = newlocale(LC_TIME_MASK, locale.c_str(), locale_t{});
  if (locale_->handle == locale_t{}) locale_->handle = newlocale(LC_TIME_MASK, "C", locale_t{});
}

SystemDateFormat::~SystemDateFormat() {
  if (locale_->handle != locale_t{}) freelocale(locale_->handle);
}

std::string SystemDateFormat::ShortDate(const LogTime& time) const {
  return Format(time, "%x", locale_->handle);
}

std::string SystemDateFormat::LongTime(const LogTime& time) const {
  return Format(time, "%X", locale_->handle);
}

}  // namespace px
