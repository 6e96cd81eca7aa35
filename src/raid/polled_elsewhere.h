#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "raid/records.h"

namespace px {

// One enclosure as another process's last poll left it: its physical drive
// (the host numbers its disks alike for every process) and its two records,
// byte for byte as that poll decoded them.
struct PolledEnclosure {
  PhysicalDrive drive{0};
  // That poll read its status; false when the enclosure stopped answering.
  bool answered = false;
  Record status{};
  Record config{};
};

// Enclosures that another process polls: pxraidd, which alone opens the disks
// where it runs. A front end that is its client finds and polls them through
// this instead of asking the controllers, so that every text it shows comes
// from the records it would have read itself, through the same views.
class PolledElsewhere {
 public:
  virtual ~PolledElsewhere() = default;
  // The enclosures as the other process last polled them, in its order;
  // nothing when it could not be asked (it has gone, or did not answer).
  virtual std::optional<std::vector<PolledEnclosure>> Enclosures() = 0;
};

}  // namespace px
