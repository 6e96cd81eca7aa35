#pragma once

#include <cstdint>

#include "raid/context.h"

// Discovery lives here with the records rather than in device/: it decodes
// the controller's status reply into the same records the poll refreshes, and
// device/ stays the transport and channel layer below both.

namespace px {

// Finds the enclosures among the host's physical drives and describes the
// volumes behind the drive letters. Runs on the detection thread, except
// ListLogicalDrives and CountPhysicalDrives, which the window also calls to
// see whether anything changed.
class DriveDiscovery {
 public:
  explicit DriveDiscovery(const RaidContext& context) : ctx_(context) {}

  // Looks at the host again, fills DriveLetters with the letters from 'C'
  // on and returns their number; the caller stores it in LetterCount. Every
  // count of letters and drives starts here, so the drive numbers of a count
  // are those of one look at the host.
  uint32_t ListLogicalDrives();
  // How many of physical drives 0-9 open; gaps do not end the count.
  uint32_t CountPhysicalDrives();
  // Fills VolumeTable for the first LetterCount letters, at most 20. Always 1.
  int DescribeVolumes();
  // Probes the drives, fills the device table entries and the records, and
  // returns the number of enclosures found.
  uint32_t ProbePhysicalDrives();
  // Looks at the host again, DescribeVolumes, then DeviceCount =
  // ProbePhysicalDrives.
  void DetectDrives();
  // A whole detection on the calling thread, for front ends without a
  // detection thread: count the letters and drives, detect, and hand the
  // results over as the thread would. The number of enclosures found.
  uint32_t DetectNow();

 private:
  // Probes drive k, known to open, into the slot `count`; true when it is an
  // enclosure and was added.
  bool ProbeDrive(uint32_t k, uint32_t count);
  void ReadDeviceName(uint32_t k);
  void ReadStatusRecord(uint32_t k, uint32_t count);

  RaidContext ctx_;
};

}  // namespace px
