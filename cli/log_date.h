#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "eventlog/log_time.h"

namespace px::cli {

// A day as the log files name it, YYMMDD (20YY): nothing when the text is not
// six digits naming a real day.
std::optional<LogTime> ParseLogDate(std::string_view text);

// Why a --date value is refused, or empty when it is fine (CLI11's check).
std::string CheckLogDate(const std::string& text);

}  // namespace px::cli
