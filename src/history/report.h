#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "common/time_text.h"
#include "history/reader.h"

// What `pxraid history` prints of a report: lines for people, or JSON for
// scripts. Device texts are bytes; both give them as printable UTF-8.

namespace px::history {

using TimeText = std::function<std::string(int64_t unixSeconds)>;

// `timeText` writes each time; the JSON's times are UTC (UtcTimestamp).
std::string ReportText(const HistoryReport& report, const TimeText& timeText = UtcTimestamp);
nlohmann::ordered_json ReportJson(const HistoryReport& report);

}  // namespace px::history
