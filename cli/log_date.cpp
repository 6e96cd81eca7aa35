#include "cli/log_date.h"

#include <algorithm>
#include <cctype>
#include <chrono>

namespace px::cli {

std::optional<LogTime> ParseLogDate(std::string_view text) {
  if (text.size() != 6 || !std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
      })) {
    return std::nullopt;
  }
  const auto two = [&](std::size_t at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); };
  LogTime day;
  day.year = 2000 + two(0);
  day.month = two(2);
  day.day = two(4);
  const std::chrono::year_month_day date{std::chrono::year{day.year},
                                         std::chrono::month{static_cast<unsigned>(day.month)},
                                         std::chrono::day{static_cast<unsigned>(day.day)}};
  if (!date.ok()) return std::nullopt;
  return day;
}

std::string CheckLogDate(const std::string& text) {
  if (ParseLogDate(text)) return {};
  return "'" + text + "' is not a day in the form YYMMDD (for example 261207)";
}

}  // namespace px::cli
