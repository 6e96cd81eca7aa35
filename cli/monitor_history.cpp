#include <cstddef>
#include <string>

#include "cli/commands.h"
#include "cli/member_history.h"

namespace px::cli {

using monitor::EnclosureReport;
using monitor::StatusReports;

MonitorHistory::MonitorHistory(const std::filesystem::path& file)
    : history_(file, [](const std::string& text) { Complain(text); }) {}

std::vector<Alert> MonitorHistory::Record(const RecordTables& records, StatusReports& reports,
                                          const std::vector<EnclosureEvent>& events, int64_t now) {
  std::vector<monitor::PolledEnclosure> polled;
  for (const EnclosureReport& report : reports.enclosures) {
    polled.push_back({static_cast<std::size_t>(report.device - 1), report.id, report.statusRead,
                      &records.Status(report.drive), &records.Config(report.drive)});
  }
  const monitor::PollOutcome outcome = history_.Record(polled, events, now);
  for (std::size_t i = 0; i < outcome.enclosures.size() && i < reports.enclosures.size(); ++i) {
    EnclosureReport& report = reports.enclosures[i];
    const monitor::PolledResult& result = outcome.enclosures[i];
    if (report.rebuildRunning) report.remainingSeconds = result.remainingSeconds;
    if (!result.warningsRaised.empty()) report.warningsRaised = result.warningsRaised;
  }
  std::vector<Alert> alerts;
  for (const MemberWarning& warning : outcome.warnings) alerts.push_back(AlertOf(warning));
  return alerts;
}

}  // namespace px::cli
