#include "cli/enclosure_status.h"

#include <algorithm>
#include <cctype>
#include <span>

#include "cli/core_state.h"
#include "cli/host.h"
#include "common/bytes.h"
#include "common/text.h"
#include "raid/device_text.h"

namespace px::cli {
namespace {

constexpr unsigned kGigabyteShift = 21;  // 512-byte sectors to units of 2^30 bytes

struct PortFields {
  std::size_t state;
  std::size_t model;
  std::size_t serial;
  std::size_t capacity;
  unsigned flagShift;
};
constexpr std::array<PortFields, 2> kPortFields = {{
    {status::kP0State, status::kP0Model, status::kP0Serial, status::kP0Capacity, 0},
    {status::kP1State, status::kP1Model, status::kP1Serial, status::kP1Capacity, 4},
}};

int Severity(Health health) {
  switch (health) {
    case Health::Ok:
      return 0;
    case Health::Warning:
      return 1;
    case Health::Unknown:
      return 2;
    case Health::Critical:
      return 3;
  }
  return 2;
}

uint8_t ClassOf(const Record& status, std::size_t port) {
  return static_cast<uint8_t>((status[status::kPortFlags] >> kPortFields[port].flagShift) & 0x0F);
}

// Each member is in one class after a decode; a record that says otherwise
// is read in the order failed, ready, inserted, absent.
const char* ClassName(uint8_t portClass) {
  if ((portClass & kPortFailed) != 0) return "failed";
  if ((portClass & kPortReady) != 0) return "ready";
  if ((portClass & kPortInserted) != 0) return "inserted";
  return "absent";
}

std::string Text(const Record& record, std::size_t at, std::size_t size) {
  return TrimRightKeep(SwapPairsToNul(std::span(record).subspan(at, size)), 0);
}

std::string Capacity(uint64_t sectors) {
  return std::to_string(sectors >> kGigabyteShift) + " GB (" + std::to_string(sectors) +
         " sectors)";
}

bool IsRedundantOrStriped(uint8_t mode) {
  return mode == kModeMirror || mode == kModeStriping;
}

}  // namespace

Health Worse(Health a, Health b) {
  return Severity(a) >= Severity(b) ? a : b;
}

const char* HealthName(Health health) {
  switch (health) {
    case Health::Ok:
      return "ok";
    case Health::Warning:
      return "warning";
    case Health::Critical:
      return "critical";
    case Health::Unknown:
      return "unknown";
  }
  return "unknown";
}

Health Classify(const Record& status, std::string& reason) {
  const std::array<const char*, 2> names{"P0", "P1"};
  const uint8_t mode = status[status::kMode];
  int absent = 0;
  int absentPort = 0;
  for (std::size_t port = 0; port < 2; ++port) {
    const std::string state = ClassName(ClassOf(status, port));
    if (state == "failed") {
      reason = std::string(names[port]) + " failed";
      return Health::Critical;
    }
    if (state == "absent") {
      ++absent;
      absentPort = static_cast<int>(port);
    }
  }
  if (absent == 2) {
    reason = "no member present";
    return Health::Critical;
  }
  if (absent == 1) {
    const std::string port = names[static_cast<std::size_t>(absentPort)];
    if (IsRedundantOrStriped(mode)) {
      reason = port + " absent from the " + std::string(ModeName(mode));
      return Health::Critical;
    }
    reason = "single member (" + std::string(ModeName(mode)) + ")";
    return Health::Warning;
  }
  for (std::size_t port = 0; port < 2; ++port) {
    if ((ClassOf(status, port) & kPortInserted) != 0 && (ClassOf(status, port) & kPortReady) == 0) {
      reason = std::string(names[port]) + " inserted, not part of the volume";
      return Health::Warning;
    }
  }
  const uint8_t progress = status[status::kProgressFlags];
  if ((progress & (kProgressP0 | kProgressP1)) != 0) {
    const bool towardsP0 = (progress & kProgressP0) != 0;
    reason = std::string(towardsP0 ? "P1 --> P0 " : "P0 --> P1 ") +
             std::to_string(status[status::kProgress]) + "%";
    return Health::Warning;
  }
  reason = "both members ready";
  return Health::Ok;
}

EnclosureReport BuildReport(CoreState& core, std::size_t slot, bool statusRead, bool busy) {
  EnclosureReport report;
  const uint32_t drive = DriveOf(core.devices.DeviceSlot[slot]);
  const Record& status = core.records.StatusRecord[drive];
  const Record& config = core.records.ConfigRecord[drive];
  report.device = static_cast<int>(slot) + 1;
  report.drive = drive;
  report.node = core.host.DriveNode(drive);
  report.name = TrimRightKeep(DeviceName(config), 0);
  report.firmware = RevisionOf(config).text;
  report.statusRead = statusRead && status[status::kType] == kRecordValid;
  report.modeCode = status[status::kMode];
  report.mode = ModeName(report.modeCode);
  report.volumeCapacitySectors =
      LoadLittleEndian(&status[status::kVolumeCapacity], status::kCapacitySize);
  for (std::size_t port = 0; port < 2; ++port) {
    const PortFields& fields = kPortFields[port];
    MemberReport& member = report.members[port];
    member.port = port == 0 ? "P0" : "P1";
    member.state = ClassName(ClassOf(status, port));
    member.rawState = status[fields.state];
    member.model = Text(status, fields.model, status::kModelSize);
    member.serial = Text(status, fields.serial, status::kSerialSize);
    member.capacitySectors = LoadLittleEndian(&status[fields.capacity], status::kCapacitySize);
  }
  const uint8_t progress = status[status::kProgressFlags];
  report.rebuildRunning = (progress & (kProgressP0 | kProgressP1)) != 0;
  if (report.rebuildRunning) {
    report.direction = (progress & kProgressP0) != 0 ? "P1 --> P0" : "P0 --> P1";
    report.percent = status[status::kProgress];
  }
  if (report.statusRead) {
    report.health = Classify(status, report.reason);
  } else {
    report.health = Health::Unknown;
    report.reason = busy ? core.channel.DriveBusyReason(drive) : "the status could not be read";
  }
  return report;
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
  nlohmann::ordered_json json = {{"device", report.device}, {"drive", report.drive}};
  json["node"] =
      report.node.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(report.node);
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
    text += "  Rebuild: " +
            (report.rebuildRunning ? report.direction + ", " + std::to_string(report.percent) + "%"
                                   : std::string("none")) +
            "\n";
  }
  std::string health = HealthName(report.health);
  for (char& c : health) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  text += "  Health:  " + health + " (" + report.reason + ")\n";
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
