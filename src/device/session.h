#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace px {

inline constexpr uint32_t kNoSlot = 256;
inline constexpr std::size_t kDeviceSlots = 8;
inline constexpr std::size_t kShownDevices = 4;
inline constexpr std::size_t kPhysicalDrives = 10;

// Bits of a device-table entry.
inline constexpr uint32_t kEntryDriveMask = 0x0F;
inline constexpr uint32_t kEntryEnclosure = 0x40;
inline constexpr uint32_t kEntryFirmwareBits = 0xF0;

inline constexpr uint32_t DriveOf(uint32_t entry) {
  return entry & kEntryDriveMask;
}

// Flags that every layer reads and that cross threads.
struct AppFlags {
  // Set once the window's close request is accepted; every channel loop ends
  // at its next step when it sees it.
  std::atomic<bool> closing{false};
  // Held for the length of a firmware operation; polls, the status-bar
  // handler, a second firmware operation and closing stay away meanwhile.
  std::atomic<bool> firmwareBusy{false};
  // Set when the user or the system asks the program to stop (pxraid's
  // Ctrl+C or SIGTERM): every wait for another program or for an answer
  // gives up at its next look, so that no other program and no silent
  // enclosure holds up the stop; what is under way (a knock, a control
  // write) is finished, so that the controller never sees half a command.
  std::atomic<bool> stopping{false};
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
  // Index of the device whose page is active.
  std::atomic<uint32_t> SelectedSlot{0};
  // The device page the user has in front, -1 when none; where a control
  // sector goes. Detection reads it on its own thread.
  std::atomic<int> ActivePage{-1};
  // Slot the firmware operations address; kNoSlot when none. Discovery reads
  // it on its own thread.
  std::atomic<uint32_t> UpgradeSlot{kNoSlot};
};

void BeginFirmwareOperation(AppFlags& flags);
void EndFirmwareOperation(AppFlags& flags, DeviceTable& devices);

}  // namespace px
