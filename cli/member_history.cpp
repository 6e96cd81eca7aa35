#include "cli/member_history.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <optional>

#include "cli/commands.h"
#include "cli/json_format.h"
#include "common/time_text.h"
#include "history/reader.h"
#include "history/report.h"

namespace px::cli {

using monitor::EnclosureReport;
using monitor::StatusReports;

namespace fs = std::filesystem;

void EstimateFromHistory(const fs::path& file, StatusReports& reports) {
  const bool rebuilding =
      std::any_of(reports.enclosures.begin(), reports.enclosures.end(),
                  [](const EnclosureReport& r) { return r.statusRead && r.rebuildRunning; });
  if (!rebuilding) return;
  std::string why;
  const std::unique_ptr<history::HistoryReader> reader = history::HistoryReader::Open(file, why);
  if (!reader) return;
  for (EnclosureReport& report : reports.enclosures) {
    if (!report.statusRead || !report.rebuildRunning) continue;
    const std::optional<double> rate = reader->RebuildRate(report.id, report.volumeCapacitySectors);
    if (!rate || *rate <= 0) continue;
    report.remainingSeconds = std::llround((100.0 - report.percent) / *rate);
  }
}

fs::path MonitorHistoryFile(const MonitorOptions& options, const fs::path& logDirectory) {
  if (options.noHistory) return {};
  return options.history.empty() ? monitor::DefaultHistoryFile(logDirectory)
                                 : fs::path(options.history);
}

HistoryAnswer AnswerHistory(const HistoryOptions& options, const fs::path& file) {
  HistoryAnswer answer;
  history::HistoryQuery query;
  if (!options.serial.empty()) query.serial = options.serial;
  if (!options.since.empty()) {
    const std::optional<int64_t> since = ParseUtcTime(options.since);
    if (!since) {
      answer.why = "--since: " + options.since +
                   " is no date (2026-12-07) or time (2026-12-07T10:00:00, UTC)";
      answer.badArgument = true;
      return answer;
    }
    query.since = *since;
  }
  const std::unique_ptr<history::HistoryReader> reader =
      history::HistoryReader::Open(file, answer.why);
  std::optional<history::HistoryReport> report;
  if (reader) report = reader->Report(query, answer.why);
  if (report) {
    answer.output = options.json ? Versioned(history::ReportJson(*report)).dump(2) + "\n"
                                 : history::ReportText(*report);
  }
  return answer;
}

int RunHistory(const HistoryOptions& options) {
  fs::path file = options.file;
  if (file.empty()) {
    try {
      file = monitor::DefaultHistoryFile(DefaultLogDirectory());
    } catch (const std::invalid_argument& error) {
      Complain(error.what());
      return kExitFailed;
    }
  }
  const HistoryAnswer answer = AnswerHistory(options, file);
  if (!answer.output) {
    Complain(answer.why);
    return answer.badArgument ? kExitUsage : kExitFailed;
  }
  std::cout << *answer.output;
  return kExitOk;
}

}  // namespace px::cli
