#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "raid/device_table.h"
#include "raid/enclosure_events.h"

// What a user is alerted to (pxraid monitor's program, mail and journal
// lines): the enclosure events, except that a rebuild's progress is told when
// it passes 20, 40, 60 and 80 % (Rebuild20 ... Rebuild80, the names mdadm's
// monitor uses) rather than at every percent, which would be noise.

namespace px {

struct Alert {
  // An enclosure event's name, "Rebuild20" to "Rebuild80", or "TestAlert".
  std::string name;
  Severity severity = Severity::Info;
  std::size_t device = 0;  // index in the device table; the log's "D1" is 0
  std::optional<MemberSnapshot> member;
  std::optional<RebuildSnapshot> rebuild;
  // One line for people: "D1 P1 failed: WDC WD10EZEX-00BN5A0, serial WD-WCC3F0000002".
  std::string message;
};

// The rebuild milestones an alert is raised at. A milestone is named after the
// RebuildProgress it comes from and has its severity.
inline constexpr std::array<uint8_t, 4> kRebuildMilestones{20, 40, 60, 80};
inline constexpr char kTestAlertName[] = "TestAlert";

class AlertSelector {
 public:
  // The alerts of one poll's events, in their order: every event but
  // RebuildProgress, which raises the highest milestone it passed, if any.
  std::vector<Alert> Select(const std::vector<EnclosureEvent>& events);

 private:
  // The last percentage of the rebuild that runs on each device.
  std::array<uint8_t, kShownDevices> percent_{};
};

// The alert an event raises as it is, whatever its kind.
Alert AlertOf(const EnclosureEvent& event);

// A warning the member history raised about a listed enclosure, in its own
// words: what will happen and what to do.
struct MemberWarning {
  std::string name;  // stable: "MembersSwapped", "ForeignMember"
  Severity severity = Severity::Warning;
  std::size_t device = 0;  // index in the device table; the log's "D1" is 0
  // The disk it is about, as the poll read it.
  std::optional<MemberSnapshot> member;
  std::string message;
};

// The alert it raises, its message named as the other alerts' messages are
// ("D1 P1: ...").
Alert AlertOf(const MemberWarning& warning);

// The alert `--test` raises for each enclosure, to check that alerts arrive.
// It is info: mail sends it all the same.
Alert TestAlert(std::size_t device);

}  // namespace px
