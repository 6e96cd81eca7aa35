#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "monitor/status_report.h"
#include "raid/discovery.h"
#include "raid/monitor.h"

// The reports (monitor/status_report.h) as pxraid reads them from its core,
// and what status and list print of them.

namespace px::cli {

struct CoreState;

// Reads the report of device-table slot `slot` from the records. A device
// the poll found held by another program (`busy`) is UNKNOWN, and says why.
monitor::EnclosureReport BuildReport(CoreState& core, std::size_t slot, bool statusRead, bool busy);
// The drives of `drives` (bit n: physical drive n), which a detection found
// held by another program.
std::vector<monitor::BusyDriveReport> BusyDrives(CoreState& core, uint16_t drives);

// The reports of the enclosures `found` after `poll` (the first four; the
// others as discovery read them), and of the drives it found held.
monitor::StatusReports ReportAll(CoreState& core, const DetectionReport& found,
                                 const PollReport& poll);

nlohmann::ordered_json ToJson(const monitor::EnclosureReport& report);
nlohmann::ordered_json ToJson(const monitor::BusyDriveReport& report);
// What status --json answers: every enclosure and busy drive, the overall
// health and the exit code it stands for, and `error` when not empty (why
// there is nothing to report, or what ended the run).
nlohmann::ordered_json ToJson(const monitor::StatusReports& reports, const std::string& error = {});
// status --format nagios: one line as monitoring plugins print it, "PXRAID
// OK - 2 enclosures OK | enclosures=2;;;0 ...", `error` first in its text
// when not empty.
std::string ToNagios(const monitor::StatusReports& reports, const std::string& error = {});
std::string ToText(const monitor::EnclosureReport& report);
std::string ToText(const monitor::BusyDriveReport& report);
// The line `list` prints, without alignment: device, drive, name, firmware,
// mode, P0 state, P1 state.
std::array<std::string, 7> ListFields(const monitor::EnclosureReport& report);

}  // namespace px::cli
