#pragma once

#include <array>
#include <cstdint>

#include "raid/device_table.h"
#include "raid/enclosure_events.h"

namespace px {

// LastPercent while no rebuild or copy is being followed.
inline constexpr uint8_t kNoProgress = 0xFF;

// What the event log last wrote of a device, which its next lines are told
// against.
struct PortTrackRecord {
  // PortFlags as last seen; 0xFF counts as 0.
  uint8_t PrevPortFlags = 0;
  // Percentage of the last progress line, or kNoProgress.
  uint8_t LastPercent = kNoProgress;
  // Direction of the last progress line: 0 towards P0, 1 towards P1.
  uint8_t ProgressPort = 0;
};

// What the core keeps of the enclosure in one device-table slot from one
// poll to the next. It follows the slot, not the enclosure: a re-detection
// that puts another enclosure in the slot finds this one's memory there.
// Discovery writes the poll's flags on the detection thread while a
// detection is pending; everything else is the polling thread's, but for
// busyCountdown, which the window counts down on its own.
struct Enclosure {
  // Polls since the device last answered, those it was skipped in counted:
  // while it is odd the next poll skips the device.
  uint8_t retryCount = 0;
  // A rebuild or copy runs: the poll asks its progress before the status.
  // Set by discovery, never cleared by it.
  bool progressPending = false;
  // The controller supplies its firmware revision: the poll asks for it
  // first. Set by discovery, never cleared by it.
  bool revisionPending = false;
  // Seconds the settings controls stay disabled after a settings write.
  uint8_t busyCountdown = 0;

  // The enclosure as the last Core::Observe saw it: the `before` of the
  // next poll's events. A re-detection keeps it, so that what changed in the
  // slot, another enclosure put there too, is told as events.
  EnclosureSnapshot seen;
  // What the event log last wrote of it. Unlike `seen`, the log re-takes its
  // PrevPortFlags at a start and at every re-detection, so that another
  // device in the same place writes no change lines.
  PortTrackRecord logTrack;
};

// The enclosures of the device table, one per slot. The core owns it and
// lends it to discovery, the monitor, the event log writer and the front
// ends. The table's entries stay discovery's to write; the set reads them
// for the drives.
class EnclosureSet {
 public:
  explicit EnclosureSet(const DeviceTable& devices) : devices_(devices) {}
  EnclosureSet(const EnclosureSet&) = delete;
  EnclosureSet& operator=(const EnclosureSet&) = delete;

  Enclosure& operator[](EnclosureSlot slot) { return enclosures_[slot.index()]; }
  const Enclosure& operator[](EnclosureSlot slot) const { return enclosures_[slot.index()]; }

  // The physical drive the table's entry for `slot` names.
  PhysicalDrive Drive(EnclosureSlot slot) const { return devices_.Drive(slot); }
  // How many slots the last detection filled.
  uint32_t Count() const { return devices_.DeviceCount.load(); }

 private:
  const DeviceTable& devices_;
  std::array<Enclosure, kDeviceSlots> enclosures_{};
};

}  // namespace px
