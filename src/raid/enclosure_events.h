#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "raid/record_views.h"

// What changed on an enclosure between two readings, as data: the log writes
// its lines from it, and whoever else must learn of a failed disk (alerts,
// metrics) reads the same events.

namespace px {

// The names are stable: scripts and alert rules match on them.
enum class EnclosureEventKind : uint8_t {
  EnclosureAdded,     // the device table lists a device at this index now
  EnclosureRemoved,   // ... and no longer
  StatusUnreadable,   // the poll got no answer from it
  StatusReadable,     // it answers again
  EnclosureBusy,      // another program held it, so the poll could not ask it
  MemberFailed,       // a member's port failed
  MemberRemoved,      // a member's disk is gone
  MemberInserted,     // a disk is in, but not part of the volume
  MemberInitialized,  // a member is present and ready
  RebuildStarted,     // a rebuild or copy between the members is reported
  RebuildProgress,    // its percentage moved
  RebuildFinished,    // it is no longer reported, and both members are ready
};

enum class Severity : uint8_t { Critical, Warning, Info };

std::string_view EventName(EnclosureEventKind kind);  // "MemberFailed"
Severity SeverityOf(EnclosureEventKind kind);
std::string_view SeverityName(Severity severity);  // "critical", "warning", "info"

// One member as a reading found it.
struct MemberSnapshot {
  Port port = Port::P0;
  MemberClasses classes;
  // Readable order, cut at the first NUL, padding kept. A member that is off
  // keeps the texts of the disk that was last seen there.
  std::string model;
  std::string serial;
  uint64_t capacitySectors = 0;
  uint8_t linkSpeed = 0;
};

struct RebuildSnapshot {
  uint8_t percent = 0;
  RebuildDirection direction = RebuildDirection::TowardsP0;
  friend bool operator==(const RebuildSnapshot&, const RebuildSnapshot&) = default;
};

// What one device index looked like after a poll.
struct EnclosureSnapshot {
  // The device table lists a device here.
  bool present = false;
  // Its status was read by that poll; otherwise the rest is the last reading.
  bool answered = false;
  // Not read because another program held its enclosure, not for want of
  // an answer.
  bool busy = false;
  std::array<MemberSnapshot, 2> members{
      {{Port::P0, {}, {}, {}, 0, 0}, {Port::P1, {}, {}, {}, 0, 0}}};
  // Set while a rebuild or copy runs.
  std::optional<RebuildSnapshot> rebuild;
};

MemberSnapshot SnapshotOf(const MemberView& member);
// A listed device with its status record; answered: read by this poll;
// busy: held by another program, so not asked.
EnclosureSnapshot SnapshotOf(const StatusRecordView& status, bool answered, bool busy = false);

struct EnclosureEvent {
  EnclosureEventKind kind = EnclosureEventKind::EnclosureAdded;
  std::size_t device = 0;  // index in the device table; the log's "D1" is 0
  // Member events: the member as it is now.
  std::optional<MemberSnapshot> member;
  // RebuildStarted and RebuildProgress: the new percentage and direction;
  // RebuildFinished: the last ones that were reported.
  std::optional<RebuildSnapshot> rebuild;
};

// What changed from `before` to `now`, two snapshots of one device index, in
// this order: presence and readability; then, when `now` was read, each
// member (P0 first) that entered a class it was not in, and the rebuild. A
// device that does not answer, or that another program holds, has nothing
// more to report until it is read again, and is then compared with its last
// reading. Its first reading is compared with nothing: an enclosure that
// appears with a failed member says so.
std::vector<EnclosureEvent> DeriveEvents(std::size_t device, const EnclosureSnapshot& before,
                                         const EnclosureSnapshot& now);

}  // namespace px
