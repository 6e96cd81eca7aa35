#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "history/memory.h"
#include "history/observation.h"

// The warnings only a memory of the disks can give: the present says which
// disks are in, not whether they are the ones that belong there.

namespace px::history {

inline constexpr std::string_view kMembersSwapped = "MembersSwapped";
inline constexpr std::string_view kForeignMember = "ForeignMember";
inline constexpr std::string_view kSmallerMember = "SmallerMember";
inline constexpr std::string_view kRepeatFailure = "RepeatFailure";

// What the history knew of a disk before the poll.
struct DiskPast {
  bool seen = false;
  std::string lastEnclosureId;  // where it was seen last
  std::string lastEnclosureName;
  Port lastPort = Port::P0;
  int64_t lastSeen = 0;
  int64_t failures = 0;
  int64_t lastFailed = 0;
};

// The warnings the (normalized) observation `now` raises against `before`,
// the history's memory of its enclosure; `pasts` is what the history knew of
// the disk in each bay, looked at only for one that arrived or failed. A
// warning comes with the change that brings its condition about (a disk
// arriving, a disk failing), so it is raised once however long the
// condition lasts, and again only when it comes about anew:
//
// - MembersSwapped: each bay holds the disk the other held in the last pair
//   that was whole, and one of them has just arrived. Critical for a mirror,
//   where the rebuild's direction decides whose data survives; a warning for
//   the other modes.
// - ForeignMember: a disk arrives in a mirror whose other member is ready, to
//   be rebuilt onto (it is not part of the volume, or a rebuild runs), and
//   the history never saw it or saw it last in another enclosure: whatever it
//   holds is overwritten. Critical when the rebuild that runs copies from it
//   instead, over the mirror's own disk.
// - SmallerMember: a disk arrives in a mirror with fewer sectors than the
//   volume: it cannot be rebuilt onto. It stands for ForeignMember then.
// - RepeatFailure: a disk that failed before fails again, or arrives.
std::vector<Event> DeriveWarnings(const EnclosureMemory& before, const Observation& now,
                                  const std::array<DiskPast, 2>& pasts);

}  // namespace px::history
