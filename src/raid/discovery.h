#pragma once

#include <cstdint>
#include <optional>

#include "raid/context.h"

// Discovery lives here with the records rather than in device/: it decodes
// the controller's status reply into the same records the poll refreshes, and
// device/ stays the transport and channel layer below both.

namespace px {

// How a detection probes the physical drives.
//
// One by one is the window's way: its detection thread shows every step of
// every probe in the status bar as it happens. A drive that is no enclosure
// costs two seconds of waiting for a reply that never comes, so on a host
// with many disks that adds up.
//
// Side by side, every drive to probe gets a thread and a command channel of
// its own; its knocks go to its own device, one command after another, and
// the drives wait out their replies together. What each probe showed and
// found is kept and laid out afterwards in drive order, so the tables, the
// records and the status-bar texts end up exactly as one by one would leave
// them. A session that is recorded or replayed must go one by one: the
// recording is a single sequence of calls, which threads would shuffle.
enum class ProbeOrder : uint8_t { OneByOne, SideBySide };

struct ProbeOptions {
  ProbeOrder order = ProbeOrder::OneByOne;
  // Probe this physical drive only, for a look at one enclosure: the others
  // are still counted (opened and closed) but never sent a command.
  std::optional<PhysicalDrive> onlyDrive;

  bool Covers(PhysicalDrive drive) const { return !onlyDrive || *onlyDrive == drive; }
};

// What one detection found. The device table, the records and DetectionState
// hold it too, for the window's thread, which takes a detection of the
// detection thread from there.
struct DetectionReport {
  // The enclosures laid out, in device-table slots 0 to enclosures - 1.
  uint32_t enclosures = 0;
  // Bit n: physical drive n was held by another program and could not be
  // probed: it is neither an enclosure nor not one.
  uint16_t busyDrives = 0;
  // The physical drives that opened when the detection was asked for
  // (PhysicalDriveCount), which the walk went by.
  uint32_t physicalDrives = 0;
};

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
  // Probes the drives, fills the device table entries, the records and
  // BusyDrives, and reports what it found.
  DetectionReport ProbePhysicalDrives(const ProbeOptions& options = {});
  // Looks at the host again, DescribeVolumes, then ProbePhysicalDrives (or
  // takes the enclosures another process polls), with DeviceCount the
  // enclosures reported.
  DetectionReport DetectDrives(const ProbeOptions& options = {});
  // A whole detection on the calling thread, for front ends without a
  // detection thread: count the letters and drives, detect, and hand the
  // results over as the thread would.
  DetectionReport DetectNow(const ProbeOptions& options = {});

 private:
  // What a drive number holds, as the walk over the drives sees it.
  enum class DrivePresence : uint8_t {
    Missing,  // does not open
    Opens,
    Kept,  // under firmware work: keeps its entry, unprobed
  };
  // What one probe works with: a channel to knock with, the status bar it
  // reports to, and the drive's two records.
  struct ProbeTarget {
    CommandChannel& channel;
    StatusPanels& panels;
    Record& config;
    Record& status;
  };
  // What probing one drive found, before it is given a place in the table.
  struct DriveFindings {
    bool busy = false;  // another program held it
    bool enclosure = false;
    bool suppliesRevision = false;
    bool operationRuns = false;  // a rebuild or copy, as the status read said
  };
  class ProbeAhead;

  DrivePresence LookAt(PhysicalDrive k);
  DriveFindings ProbeDrive(PhysicalDrive k, const ProbeTarget& target);
  void ReadDeviceName(PhysicalDrive k, const ProbeTarget& target);
  // True when the status says a rebuild or copy runs.
  bool ReadStatusRecord(PhysicalDrive k, const ProbeTarget& target);
  // Gives an enclosure slot `count`; true when it was added.
  bool Place(PhysicalDrive k, const DriveFindings& found, uint32_t count);
  // The enclosures another process polls, laid out in its order as a
  // detection lays out what it found.
  DetectionReport TakePolledElsewhere();

  RaidContext ctx_;
  // The drive under firmware work as this detection found it: probed by
  // nobody, its entry kept.
  std::optional<PhysicalDrive> underFirmwareWork_;
};

}  // namespace px
