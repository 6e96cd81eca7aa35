#pragma once

#include <array>
#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>

#include "device/channel.h"
#include "device/transport.h"

namespace px {

inline constexpr uint32_t kNoSlot = 256;
inline constexpr std::size_t kDeviceSlots = 8;
inline constexpr std::size_t kShownDevices = 4;

// Bits of a device-table entry.
inline constexpr uint32_t kEntryDriveMask = 0x0F;
inline constexpr uint32_t kEntryEnclosure = 0x40;
inline constexpr uint32_t kEntryFirmwareBits = 0xF0;

inline constexpr PhysicalDrive DriveOf(uint32_t entry) {
  return PhysicalDrive(entry & kEntryDriveMask);
}

// The entry of an enclosure found on `drive`, whose number fits the four bits.
inline constexpr uint32_t EnclosureEntry(PhysicalDrive drive) {
  return drive.number() | kEntryEnclosure;
}

// A place in the device table: what discovery fills, the poll asks, firmware
// work holds, and the log and the events name (index 0 is the log's "D1").
// Made only on purpose, so that a physical drive number or a count is never
// taken for one.
class EnclosureSlot {
 public:
  constexpr explicit EnclosureSlot(std::size_t index) : index_(index) {}
  constexpr std::size_t index() const { return index_; }
  friend constexpr auto operator<=>(EnclosureSlot, EnclosureSlot) = default;

 private:
  std::size_t index_;
};

// Flags that every layer reads and that cross threads: the program closing
// or stopping (closing once the window's close request is accepted; stopping
// when the user or the system asks pxraid to stop), as the channel heeds them,
// and firmware work under way.
struct AppFlags : StopSignals {
  // Held for the length of a firmware operation; polls, the status-bar
  // handler, a second firmware operation and closing stay away meanwhile.
  std::atomic<bool> firmwareBusy{false};
};

// The enclosures found by the last detection. Discovery writes the entries
// and the count on its own thread while a detection is pending; the window
// reads them only after it has seen the detection finish.
struct DeviceTable {
  // Atomic although the hand-over orders them: the window's timers read the
  // count (is there a device at all?) while a new detection may be writing
  // it, and a torn or stale read there must not be undefined behaviour.
  std::array<std::atomic<uint32_t>, kDeviceSlots> DeviceSlot{};
  std::atomic<uint32_t> DeviceCount{0};
  // Slot the firmware operations address; kNoSlot when none. Discovery reads
  // it on its own thread. A number, for the atomic; firmware work, the poll
  // and discovery go through the two calls below.
  std::atomic<uint32_t> UpgradeSlot{kNoSlot};

  // The physical drive the entry for `slot` names.
  PhysicalDrive Drive(EnclosureSlot slot) const { return DriveOf(DeviceSlot[slot.index()]); }
  // Firmware work is on `slot`, and whether it is.
  void SetUpgradeSlot(EnclosureSlot slot) { UpgradeSlot = static_cast<uint32_t>(slot.index()); }
  bool IsUpgradeSlot(EnclosureSlot slot) const { return UpgradeSlot.load() == slot.index(); }
};

void BeginFirmwareOperation(AppFlags& flags);
void EndFirmwareOperation(AppFlags& flags, DeviceTable& devices);

}  // namespace px
