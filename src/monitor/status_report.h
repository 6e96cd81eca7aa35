#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/physical_drive.h"
#include "raid/enclosure_health.h"
#include "raid/record_views.h"
#include "raid/records.h"

// What a monitoring front end knows of the enclosures after a poll, copied
// out of the records: what status and list print, the metrics export, the
// alerts are chosen from and pxraidd publishes.

namespace px::monitor {

// The state class of a member's PortFlags.
enum class MemberState { Ready, Inserted, Absent, Failed };
// Every state, in the order the metrics list them.
inline constexpr std::array<MemberState, 4> kMemberStates{MemberState::Ready, MemberState::Inserted,
                                                          MemberState::Absent, MemberState::Failed};
// Its word wherever a state leaves the program (status's text and JSON,
// list, the metrics' labels, pxraidd's Members): "ready", "inserted",
// "absent", "failed".
const char* MemberStateName(MemberState state);
// The state whose word `name` is; absent for anything else (what a client
// reads back from pxraidd).
MemberState MemberStateNamed(std::string_view name);
// Each member is in one class after a decode; a record that says otherwise
// is read in the order failed, ready, inserted, absent.
MemberState MemberStateOf(MemberClasses classes);

struct MemberReport {
  const char* port = "P0";
  MemberState state = MemberState::Absent;
  uint8_t rawState = 0;  // the controller's own port state byte
  std::string model;
  std::string serial;
  uint64_t capacitySectors = 0;
};

// One enclosure as list and status report it.
struct EnclosureReport {
  int device = 1;  // 1-4 as in the log's "D1"; up to 8 with more enclosures
  PhysicalDrive drive{0};
  std::string node;  // "/dev/sdb" where the machine names its disks
  std::string id;    // EnclosureId: the same whichever port it is in
  std::string name;
  std::string firmware;
  std::string mode;
  uint8_t modeCode = 0;
  uint64_t volumeCapacitySectors = 0;
  // The status poll got an answer (discovery's own read for `list`).
  bool statusRead = false;
  std::array<MemberReport, 2> members;
  bool rebuildRunning = false;
  std::string direction;  // "P0 --> P1" as the log writes it; empty when none runs
  RebuildDirection towards = RebuildDirection::TowardsP0;  // while one runs
  uint8_t percent = 0;
  // What the member history estimates the running rebuild has left.
  std::optional<int64_t> remainingSeconds;
  // The history's warnings (by name) raised while this monitor ran.
  std::map<std::string, uint64_t> warningsRaised;
  Health health = Health::Unknown;
  std::string reason;  // why the health is what it is, for people
  // The records this report was made from, as the poll left them: for a
  // client that shows them through its own views (the window of a user
  // while pxraidd owns the disks).
  Record statusRecord{};
  Record configRecord{};
};

// A drive that discovery could not probe because another program held it.
struct BusyDriveReport {
  PhysicalDrive drive{0};
  std::string node;
  std::string reason;  // "another program is upgrading its firmware"
};

// Every enclosure as a poll left it, the drives found busy, and the health
// status answers with: the worst of them all, UNKNOWN when there is nothing.
struct StatusReports {
  std::vector<EnclosureReport> enclosures;
  std::vector<BusyDriveReport> busy;
  Health overall = Health::Unknown;
};

// The worst health of the enclosures; UNKNOWN when there is none, or a drive
// could not be checked.
Health OverallHealth(const StatusReports& reports);
// What a run that looked at physical drive `drive` alone would have reported
// of the same poll: its enclosure numbered 1, its busy drive, their health
// (every report without a drive).
StatusReports OnDrive(const StatusReports& reports, std::optional<PhysicalDrive> drive);

// Which of `enclosures` `choice` names: the one whose stable id or /dev node
// it is, else the one a member of which has it as serial number. The index,
// or why there is none: no enclosure is so named ("there is no enclosure
// X: 2 enclosures found"), or more than one is.
struct EnclosureChoice {
  std::optional<std::size_t> index;
  std::string why;
};
EnclosureChoice ChooseEnclosure(const std::vector<EnclosureReport>& enclosures,
                                const std::string& choice);
// Keeps of `reports` the enclosure `choice` names and no busy drive, its
// health the overall one; when it names none (or several), no enclosure but
// the busy drives, one of which may be it, and says why.
std::string KeepChosen(StatusReports& reports, const std::string& choice);

}  // namespace px::monitor
