#include "cli/enclosure_status.h"

#include <algorithm>
#include <cctype>

#include "cli/core_state.h"
#include "cli/host.h"
#include "cli/json_format.h"
#include "common/text.h"
#include "common/time_text.h"
#include "raid/device_text.h"

namespace px::cli {

using monitor::BusyDriveReport;
using monitor::EnclosureReport;
using monitor::MemberReport;
using monitor::StatusReports;

namespace {

constexpr unsigned kGigabyteShift = 21;  // 512-byte sectors to units of 2^30 bytes

std::string Enclosures(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " enclosure" : " enclosures");
}

std::string Capacity(uint64_t sectors) {
  return std::to_string(sectors >> kGigabyteShift) + " GB (" + std::to_string(sectors) +
         " sectors)";
}

}  // namespace

EnclosureReport BuildReport(CoreState& core, std::size_t slot, bool statusRead, bool busy) {
  EnclosureReport report;
  const PhysicalDrive drive = core.enclosures.Drive(EnclosureSlot{slot});
  const StatusRecordView status(core.records.Status(drive));
  const Record& config = core.records.Config(drive);
  report.device = static_cast<int>(slot) + 1;
  report.drive = drive;
  report.node = core.host.DriveNode(drive);
  report.id = core.host.EnclosureId(drive);
  report.name = TrimRightKeep(DeviceName(config), 0);
  report.firmware = RevisionOf(config).text;
  report.statusRead = statusRead && status.WasRead();
  report.statusRecord = core.records.Status(drive);
  report.configRecord = config;
  report.modeCode = status.Mode();
  report.mode = ModeName(report.modeCode);
  report.volumeCapacitySectors = status.VolumeCapacity();
  for (Port port : kBothPorts) {
    const MemberView view = status.Member(port);
    MemberReport& member = report.members[IndexOf(port)];
    member.port = port == Port::P0 ? "P0" : "P1";
    member.state = monitor::MemberStateOf(view.Classes());
    member.rawState = view.RawState();
    member.model = TrimRightKeep(view.Model(), 0);
    member.serial = TrimRightKeep(view.Serial(), 0);
    member.capacitySectors = view.CapacitySectors();
  }
  report.rebuildRunning = status.RebuildRuns();
  if (report.rebuildRunning) {
    report.towards = status.Direction();
    report.direction = DirectionText(report.towards);
    report.percent = status.Percent();
  }
  if (report.statusRead) {
    report.health = Classify(status, report.reason);
  } else {
    report.health = Health::Unknown;
    report.reason = busy ? core.channel.DriveBusyReason(drive) : "the status could not be read";
  }
  return report;
}

StatusReports ReportAll(CoreState& core, const DetectionReport& found, const PollReport& poll) {
  StatusReports reports;
  for (std::size_t slot = 0; slot < found.enclosures; ++slot) {
    // The poll covers the four devices the window shows; beyond them the
    // status read by discovery is the latest there is.
    const uint8_t bit = static_cast<uint8_t>(1U << slot);
    const bool read = slot >= kShownDevices || (poll.answered & bit) != 0;
    reports.enclosures.push_back(BuildReport(core, slot, read, (poll.busy & bit) != 0));
  }
  reports.busy = BusyDrives(core, found.busyDrives);
  reports.overall = monitor::OverallHealth(reports);
  return reports;
}

std::vector<BusyDriveReport> BusyDrives(CoreState& core, uint16_t drives) {
  std::vector<BusyDriveReport> busy;
  for (uint32_t n = 0; n < kPhysicalDrives; ++n) {
    if ((drives & (1U << n)) == 0) continue;
    const PhysicalDrive drive(n);
    busy.push_back({drive, core.host.DriveNode(drive), core.channel.DriveBusyReason(drive)});
  }
  return busy;
}

nlohmann::ordered_json ToJson(const BusyDriveReport& report) {
  nlohmann::ordered_json json = {{"drive", report.drive.number()}};
  json["node"] =
      report.node.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(report.node);
  json["health"] = HealthName(Health::Unknown);
  json["reason"] = report.reason;
  return json;
}

nlohmann::ordered_json ToJson(const StatusReports& reports, const std::string& error) {
  nlohmann::ordered_json enclosures = nlohmann::ordered_json::array();
  for (const EnclosureReport& report : reports.enclosures) enclosures.push_back(ToJson(report));
  nlohmann::ordered_json busyDrives = nlohmann::ordered_json::array();
  for (const BusyDriveReport& report : reports.busy) busyDrives.push_back(ToJson(report));
  nlohmann::ordered_json json = {{"json_format_version", JsonFormatVersion()},
                                 {"enclosures", std::move(enclosures)},
                                 {"busy_drives", std::move(busyDrives)},
                                 {"health", HealthName(reports.overall)},
                                 {"exit_code", static_cast<int>(reports.overall)}};
  if (!error.empty()) json["error"] = error;
  return json;
}

std::string ToText(const BusyDriveReport& report) {
  std::string where = "Drive " + std::to_string(report.drive.number());
  if (!report.node.empty()) where += " (" + report.node + ")";
  return where + ": busy, not probed\n  Health:  UNKNOWN (" + report.reason + ")\n";
}

nlohmann::ordered_json ToJson(const EnclosureReport& report) {
  nlohmann::ordered_json members = nlohmann::ordered_json::array();
  for (const MemberReport& member : report.members) {
    members.push_back({{"port", member.port},
                       {"state", monitor::MemberStateName(member.state)},
                       {"raw_state", member.rawState},
                       {"model", member.model},
                       {"serial", member.serial},
                       {"capacity_sectors", member.capacitySectors}});
  }
  nlohmann::ordered_json rebuild = {{"running", report.rebuildRunning}};
  rebuild["direction"] =
      report.rebuildRunning ? nlohmann::ordered_json(report.direction) : nlohmann::ordered_json();
  rebuild["percent"] =
      report.rebuildRunning ? nlohmann::ordered_json(report.percent) : nlohmann::ordered_json();
  rebuild["remaining_seconds"] = report.remainingSeconds
                                     ? nlohmann::ordered_json(*report.remainingSeconds)
                                     : nlohmann::ordered_json();
  nlohmann::ordered_json json = {{"device", report.device}, {"drive", report.drive.number()}};
  json["node"] =
      report.node.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(report.node);
  json["id"] = report.id;
  json["name"] = report.name;
  json["firmware"] = report.firmware;
  json["mode"] = report.mode;
  json["mode_code"] = report.modeCode;
  json["volume_capacity_sectors"] = report.volumeCapacitySectors;
  json["status_read"] = report.statusRead;
  json["members"] = std::move(members);
  json["rebuild"] = std::move(rebuild);
  json["health"] = HealthName(report.health);
  json["reason"] = report.reason;
  return json;
}

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// A perfdata label from a device-chosen id: nothing that would need quoting
// or end the label.
std::string PerfLabel(std::string_view text) {
  std::string label;
  for (const char c : text) {
    const bool plain =
        std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
    label += plain ? c : '_';
  }
  return label;
}

}  // namespace

std::string ToNagios(const StatusReports& reports, const std::string& error) {
  std::vector<std::string> told;
  if (!error.empty()) told.push_back(error);
  std::size_t degraded = 0;
  std::size_t unknown = reports.busy.size();
  std::string rebuilds;
  for (const EnclosureReport& enclosure : reports.enclosures) {
    if (enclosure.health == Health::Warning || enclosure.health == Health::Critical) ++degraded;
    if (enclosure.health == Health::Unknown) ++unknown;
    if (enclosure.health != Health::Ok) {
      told.push_back("device " + std::to_string(enclosure.device) +
                     (enclosure.id.empty() ? std::string() : " (" + enclosure.id + ")") + ": " +
                     enclosure.reason);
    }
    if (enclosure.rebuildRunning) {
      const std::string label = enclosure.id.empty() ? "device" + std::to_string(enclosure.device)
                                                     : PerfLabel(enclosure.id);
      rebuilds += " rebuild_" + label + "=" + std::to_string(enclosure.percent) + "%;;;0;100";
    }
  }
  for (const BusyDriveReport& busy : reports.busy) {
    told.push_back("drive " + std::to_string(busy.drive.number()) + " busy: " + busy.reason);
  }
  if (told.empty()) told.push_back(Enclosures(reports.enclosures.size()) + " OK");
  std::string text;
  for (const std::string& part : told) text += (text.empty() ? "" : "; ") + part;
  // The text is the device's words too: one printable line, and no '|',
  // which would start the performance data.
  text = PrintableUtf8(text);
  std::replace(text.begin(), text.end(), '|', '/');
  return "PXRAID " + Upper(HealthName(reports.overall)) + " - " + text +
         " | enclosures=" + std::to_string(reports.enclosures.size()) +
         ";;;0 degraded=" + std::to_string(degraded) + ";;;0 unknown=" + std::to_string(unknown) +
         ";;;0" + rebuilds + "\n";
}

std::string ToText(const EnclosureReport& report) {
  std::string where = "drive " + std::to_string(report.drive.number());
  if (!report.node.empty()) where += ", " + report.node;
  std::string text = "Device " + std::to_string(report.device) + " (" + where +
                     "): " + report.name + ", firmware " + report.firmware + "\n";
  if (!report.statusRead) {
    text += "  Status:  could not be read\n";
  } else {
    text += "  Mode:    " + report.mode + ", " + Capacity(report.volumeCapacitySectors) + "\n";
    for (const MemberReport& member : report.members) {
      std::string line =
          std::string("  ") + member.port + ":      " + monitor::MemberStateName(member.state);
      if (member.state != monitor::MemberState::Absent) {
        line.resize(std::max<std::size_t>(line.size(), 20), ' ');
        line +=
            member.model + ", serial " + member.serial + ", " + Capacity(member.capacitySectors);
      }
      text += line + "\n";
    }
    std::string rebuild = "none";
    if (report.rebuildRunning) {
      rebuild = report.direction + ", " + std::to_string(report.percent) + "%";
      if (report.remainingSeconds) rebuild += ", " + RemainingText(*report.remainingSeconds);
    }
    text += "  Rebuild: " + rebuild + "\n";
  }
  text += "  Health:  " + Upper(HealthName(report.health)) + " (" + report.reason + ")\n";
  return text;
}

std::array<std::string, 7> ListFields(const EnclosureReport& report) {
  std::string drive = std::to_string(report.drive.number());
  if (!report.node.empty()) drive += " (" + report.node + ")";
  const bool read = report.statusRead;
  return {std::to_string(report.device),
          drive,
          report.name,
          report.firmware,
          read ? report.mode : std::string("?"),
          read ? std::string(monitor::MemberStateName(report.members[0].state)) : std::string("?"),
          read ? std::string(monitor::MemberStateName(report.members[1].state)) : std::string("?")};
}

}  // namespace px::cli
