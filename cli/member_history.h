#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "monitor/member_history.h"
#include "monitor/status_report.h"
#include "raid/alerts.h"
#include "raid/enclosure_events.h"
#include "raid/records.h"

// pxraid's memory of the enclosures and their disks, where the build has
// one (SQLite): what monitor records, status and history read.

namespace px::cli {

struct HistoryOptions {
  std::string file;  // empty: monitor::DefaultHistoryFile of the default log folder
  std::string serial;
  std::string since;  // "2026-12-07", "2026-12-07T10:00:00"; empty: all
  bool json = false;
};

// The history a monitor keeps with `options` whose logs go to
// `logDirectory`: empty with --no-history.
std::filesystem::path MonitorHistoryFile(const MonitorOptions& options,
                                         const std::filesystem::path& logDirectory);

// What pxraid history prints for `options` of the history in `file`, or
// why there is nothing to print; `badArgument` when --since is no date.
struct HistoryAnswer {
  std::optional<std::string> output;
  std::string why;
  bool badArgument = false;
};
HistoryAnswer AnswerHistory(const HistoryOptions& options, const std::filesystem::path& file);

// pxraid monitor's writer of the history. Nothing it meets stops monitoring:
// trouble with the file is said once on standard error.
class MonitorHistory {
 public:
  // An empty file keeps no history.
  explicit MonitorHistory(const std::filesystem::path& file);

  // Records a poll's reports, read from `records`, and the events derived
  // from it: sets each running rebuild's time left and the warnings raised
  // so far, and returns the warnings this poll raised, as alerts.
  std::vector<Alert> Record(const RecordTables& records, monitor::StatusReports& reports,
                            const std::vector<EnclosureEvent>& events, int64_t now);

 private:
  monitor::MemberHistory history_;
};

// status: each running rebuild's time left at the rate the history in
// `file` knows for its enclosure. Says nothing when there is no history.
void EstimateFromHistory(const std::filesystem::path& file, monitor::StatusReports& reports);

int RunHistory(const HistoryOptions& options);

}  // namespace px::cli
