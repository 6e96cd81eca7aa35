#include "common/time_text.h"

#include <chrono>

namespace px {
namespace {

using namespace std::chrono;

constexpr int64_t kMinute = 60;
constexpr int64_t kHour = 60 * kMinute;
constexpr int64_t kDay = 24 * kHour;

std::string Two(unsigned value) {
  return {static_cast<char>('0' + value / 10 % 10), static_cast<char>('0' + value % 10)};
}

struct Civil {
  year_month_day date;
  hh_mm_ss<seconds> clock;
};

Civil CivilOf(int64_t unixSeconds) {
  const sys_seconds moment{seconds{unixSeconds}};
  const sys_days day = floor<days>(moment);
  return {year_month_day{day}, hh_mm_ss<seconds>{moment - day}};
}

std::string DateText(const year_month_day& date) {
  return std::to_string(static_cast<int>(date.year())) + "-" +
         Two(static_cast<unsigned>(date.month())) + "-" + Two(static_cast<unsigned>(date.day()));
}

// A number of exactly `digits` digits at `at`, moved past.
std::optional<int> Digits(std::string_view text, std::size_t& at, std::size_t digits) {
  if (text.size() < at + digits) return std::nullopt;
  int value = 0;
  for (const char c : text.substr(at, digits)) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  at += digits;
  return value;
}

bool Expect(std::string_view text, std::size_t& at, char c) {
  if (at >= text.size() || text[at] != c) return false;
  ++at;
  return true;
}

}  // namespace

std::string UtcDate(int64_t unixSeconds) {
  return DateText(CivilOf(unixSeconds).date);
}

std::string UtcTimestamp(int64_t unixSeconds) {
  const Civil civil = CivilOf(unixSeconds);
  return DateText(civil.date) + "T" + Two(static_cast<unsigned>(civil.clock.hours().count())) +
         ":" + Two(static_cast<unsigned>(civil.clock.minutes().count())) + ":" +
         Two(static_cast<unsigned>(civil.clock.seconds().count())) + "Z";
}

std::optional<int64_t> ParseUtcTime(std::string_view text) {
  std::size_t at = 0;
  const auto y = Digits(text, at, 4);
  if (!y || !Expect(text, at, '-')) return std::nullopt;
  const auto m = Digits(text, at, 2);
  if (!m || !Expect(text, at, '-')) return std::nullopt;
  const auto d = Digits(text, at, 2);
  if (!d) return std::nullopt;
  const year_month_day date{year{*y}, month{static_cast<unsigned>(*m)},
                            day{static_cast<unsigned>(*d)}};
  if (!date.ok()) return std::nullopt;
  int64_t clock = 0;
  if (at < text.size()) {
    if (!Expect(text, at, 'T')) return std::nullopt;
    const auto hh = Digits(text, at, 2);
    if (!hh || *hh > 23 || !Expect(text, at, ':')) return std::nullopt;
    const auto mm = Digits(text, at, 2);
    if (!mm || *mm > 59 || !Expect(text, at, ':')) return std::nullopt;
    const auto ss = Digits(text, at, 2);
    if (!ss || *ss > 59) return std::nullopt;
    if (at < text.size() && !Expect(text, at, 'Z')) return std::nullopt;
    if (at != text.size()) return std::nullopt;
    clock = *hh * kHour + *mm * kMinute + *ss;
  }
  return sys_days{date}.time_since_epoch().count() * kDay + clock;
}

std::string DurationText(int64_t seconds) {
  if (seconds < kMinute) return std::to_string(seconds < 0 ? 0 : seconds) + " s";
  const int64_t minutes = (seconds + kMinute / 2) / kMinute;
  const int64_t parts[] = {minutes / (kDay / kMinute), minutes / (kHour / kMinute) % 24,
                           minutes % 60};
  const char* units[] = {" d", " h", " min"};
  std::string text;
  for (std::size_t i = 0; i < 3; ++i) {
    if (parts[i] == 0) continue;
    if (!text.empty()) text += ' ';
    text += std::to_string(parts[i]) + units[i];
  }
  return text;
}

std::string RemainingText(int64_t seconds) {
  if (seconds < kMinute) return "less than a minute left";
  const int64_t step = seconds < kHour ? kMinute : seconds < kDay ? 10 * kMinute : kHour;
  return "about " + DurationText((seconds + step / 2) / step * step) + " left";
}

}  // namespace px
