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
namespace {

constexpr unsigned kGigabyteShift = 21;  // 512-byte sectors to units of 2^30 bytes

// Each member is in one class after a decode; a record that says otherwise
// is read in the order failed, ready, inserted, absent.
const char* ClassName(MemberClasses classes) {
  if (classes.Has(MemberClass::Failed)) return "failed";
  if (classes.Has(MemberClass::Ready)) return "ready";
  if (classes.Has(MemberClass::Inserted)) return "inserted";
  return "absent";
}

std::string Capacity(uint64_t sectors) {
  return std::to_string(sectors >> kGigabyteShift) + " GB (" + std::to_string(sectors) +
         " sectors)";
}

}  // namespace

EnclosureReport BuildReport(CoreState& core, std::size_t slot, bool statusRead, bool busy) {
  EnclosureReport report;
  const uint32_t drive = DriveOf(core.devices.DeviceSlot[slot]);
  const StatusRecordView status(core.records.StatusRecord[drive]);
  const Record& config = core.records.ConfigRecord[drive];
  report.device = static_cast<int>(slot) + 1;
  report.drive = drive;
  report.node = core.host.DriveNode(drive);
  report.id = core.host.EnclosureId(drive);
  report.name = TrimRightKeep(DeviceName(config), 0);
  report.firmware = RevisionOf(config).text;
  report.statusRead = statusRead && status.WasRead();
  report.statusRecord = core.records.StatusRecord[drive];
  report.configRecord = config;
  report.modeCode = status.Mode();
  report.mode = ModeName(report.modeCode);
  report.volumeCapacitySectors = status.VolumeCapacity();
  for (Port port : kBothPorts) {
    const MemberView view = status.Member(port);
    MemberReport& member = report.members[IndexOf(port)];
    member.port = port == Port::P0 ? "P0" : "P1";
    member.state = ClassName(view.Classes());
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

StatusReports ReportAll(CoreState& core, uint32_t count, const PollReport& poll) {
  StatusReports reports;
  for (std::size_t slot = 0; slot < count; ++slot) {
    // The poll covers the four devices the window shows; beyond them the
    // status read by discovery is the latest there is.
    const uint8_t bit = static_cast<uint8_t>(1U << slot);
    const bool read = slot >= kShownDevices || (poll.answered & bit) != 0;
    reports.enclosures.push_back(BuildReport(core, slot, read, (poll.busy & bit) != 0));
  }
  reports.busy = BusyDrives(core);
  reports.overall = OverallHealth(reports);
  return reports;
}

Health OverallHealth(const StatusReports& reports) {
  Health overall = reports.enclosures.empty() ? Health::Unknown : Health::Ok;
  for (const EnclosureReport& enclosure : reports.enclosures) {
    overall = Worse(overall, enclosure.health);
  }
  // What could not be checked is not OK.
  if (!reports.busy.empty()) overall = Worse(overall, Health::Unknown);
  return overall;
}

StatusReports OnDrive(const StatusReports& reports, int drive) {
  if (drive < 0) return reports;
  StatusReports one;
  for (const EnclosureReport& enclosure : reports.enclosures) {
    if (enclosure.drive != static_cast<unsigned>(drive)) continue;
    one.enclosures.push_back(enclosure);
    // Numbered as a detection of this drive alone numbers it.
    one.enclosures.back().device = static_cast<int>(one.enclosures.size());
  }
  for (const BusyDriveReport& busy : reports.busy) {
    if (busy.drive == static_cast<unsigned>(drive)) one.busy.push_back(busy);
  }
  one.overall = OverallHealth(one);
  return one;
}

namespace {

std::string Enclosures(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " enclosure" : " enclosures");
}

std::string DeviceList(const std::vector<std::size_t>& indices,
                       const std::vector<EnclosureReport>& enclosures) {
  std::string list;
  for (std::size_t i = 0; i < indices.size(); ++i) {
    list += (i == 0                    ? ""
             : i + 1 == indices.size() ? " and "
                                       : ", ") +
            std::to_string(enclosures[indices[i]].device);
  }
  return list;
}

}  // namespace

EnclosureChoice ChooseEnclosure(const std::vector<EnclosureReport>& enclosures,
                                const std::string& choice) {
  // An id or a node names one enclosure by construction; a serial number is
  // the disk's, and two disks may claim the same one.
  std::vector<std::size_t> named;
  std::vector<std::size_t> bySerial;
  for (std::size_t i = 0; i < enclosures.size(); ++i) {
    const EnclosureReport& enclosure = enclosures[i];
    if (enclosure.id == choice || (!enclosure.node.empty() && enclosure.node == choice)) {
      named.push_back(i);
      continue;
    }
    for (const MemberReport& member : enclosure.members) {
      if (std::string_view(member.state) != "absent" && !member.serial.empty() &&
          member.serial == choice) {
        bySerial.push_back(i);
        break;
      }
    }
  }
  const std::vector<std::size_t>& found = named.empty() ? bySerial : named;
  if (found.size() == 1) return {found.front(), {}};
  const std::string what = PrintableUtf8(choice);
  if (found.empty()) {
    return {std::nullopt,
            "there is no enclosure " + what + ": " + Enclosures(enclosures.size()) + " found"};
  }
  return {std::nullopt, what + " names more than one enclosure (devices " +
                            DeviceList(found, enclosures) + "): choose one by its stable id"};
}

std::string KeepChosen(StatusReports& reports, const std::string& choice) {
  const EnclosureChoice chosen = ChooseEnclosure(reports.enclosures, choice);
  if (chosen.index) {
    reports.enclosures = {reports.enclosures[*chosen.index]};
    reports.busy.clear();
  } else {
    reports.enclosures.clear();
  }
  reports.overall = OverallHealth(reports);
  return chosen.why;
}

std::vector<BusyDriveReport> BusyDrives(CoreState& core) {
  std::vector<BusyDriveReport> busy;
  const uint16_t drives = core.detection.BusyDrives.load();
  for (unsigned drive = 0; drive < kPhysicalDrives; ++drive) {
    if ((drives & (1U << drive)) == 0) continue;
    busy.push_back({drive, core.host.DriveNode(drive), core.channel.DriveBusyReason(drive)});
  }
  return busy;
}

nlohmann::ordered_json ToJson(const BusyDriveReport& report) {
  nlohmann::ordered_json json = {{"drive", report.drive}};
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
  std::string where = "Drive " + std::to_string(report.drive);
  if (!report.node.empty()) where += " (" + report.node + ")";
  return where + ": busy, not probed\n  Health:  UNKNOWN (" + report.reason + ")\n";
}

nlohmann::ordered_json ToJson(const EnclosureReport& report) {
  nlohmann::ordered_json members = nlohmann::ordered_json::array();
  for (const MemberReport& member : report.members) {
    members.push_back({{"port", member.port},
                       {"state", member.state},
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
  nlohmann::ordered_json json = {{"device", report.device}, {"drive", report.drive}};
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
    told.push_back("drive " + std::to_string(busy.drive) + " busy: " + busy.reason);
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
  std::string where = "drive " + std::to_string(report.drive);
  if (!report.node.empty()) where += ", " + report.node;
  std::string text = "Device " + std::to_string(report.device) + " (" + where +
                     "): " + report.name + ", firmware " + report.firmware + "\n";
  if (!report.statusRead) {
    text += "  Status:  could not be read\n";
  } else {
    text += "  Mode:    " + report.mode + ", " + Capacity(report.volumeCapacitySectors) + "\n";
    for (const MemberReport& member : report.members) {
      std::string line = std::string("  ") + member.port + ":      " + member.state;
      if (std::string(member.state) != "absent") {
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
  std::string drive = std::to_string(report.drive);
  if (!report.node.empty()) drive += " (" + report.node + ")";
  const bool read = report.statusRead;
  return {std::to_string(report.device),
          drive,
          report.name,
          report.firmware,
          read ? report.mode : std::string("?"),
          read ? std::string(report.members[0].state) : std::string("?"),
          read ? std::string(report.members[1].state) : std::string("?")};
}

}  // namespace px::cli
