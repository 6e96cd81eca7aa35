#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Times and lengths of time as the history and a rebuild's time left word
// them. Dates are UTC, so that what is stored reads the same wherever it is
// read.

namespace px {

std::string UtcDate(int64_t unixSeconds);       // "2026-12-07"
std::string UtcTimestamp(int64_t unixSeconds);  // "2026-12-07T10:00:00Z"

// "2026-12-07" (its midnight), "2026-12-07T10:00:00" or the same with a
// final "Z", all UTC; nothing for anything else or a day that does not exist.
std::optional<int64_t> ParseUtcTime(std::string_view text);

// A length of time to the minute: "45 s" under a minute, else days, hours and
// minutes without the parts that are 0: "3 h 10 min", "2 d 5 min".
std::string DurationText(int64_t seconds);

// Time left as a user plans with it, rounded to what an estimate can tell:
// "less than a minute left"; to the minute below an hour ("about 25 min
// left"); to ten minutes below a day ("about 3 h 10 min left"); to the hour
// from a day on ("about 2 d 5 h left").
std::string RemainingText(int64_t seconds);

}  // namespace px
