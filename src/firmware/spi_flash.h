#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "common/ui.h"
#include "device/channel.h"
#include "raid/device_table.h"

namespace px {

// The controller's SPI flash as the channel reaches it: 128-byte pages for
// reading and programming, 4096-byte blocks for erasing. Page numbers are 16
// bits, so addresses from 8 MiB on wrap.
inline constexpr uint32_t kSpiPageSize = 128;
inline constexpr uint32_t kSpiEraseSize = 4096;
inline constexpr uint32_t kSpiAddressSpace = 0x10000 * kSpiPageSize;  // 8 MiB
inline constexpr uint32_t kSpiWaitLimitMs = 3000;
inline constexpr int kSpiAttempts = 9;

// The knock of one SPI step at `address`: read and erase are short frames,
// a page write carries its 128 bytes as the payload (`payload` null
// otherwise).
KnockCommand SpiReadCommand(uint32_t address);
KnockCommand SpiWriteCommand(uint32_t address, const uint8_t* payload);
KnockCommand SpiEraseCommand(uint32_t address);

// Single steps on a handle the caller opened, under the caller's guard. A
// page read has its bytes only when the result is Answered(): a controller
// status of 0x00 gives code 0x00 and leaves `destination` as it was.
CommandResult SpiReadPage(CommandChannel& channel, const CommandChannel::Guard& guard,
                          DeviceHandle handle, uint32_t address,
                          std::span<uint8_t, kSpiPageSize> destination);
CommandResult SpiWritePage(CommandChannel& channel, const CommandChannel::Guard& guard,
                           DeviceHandle handle, uint32_t address,
                           std::span<const uint8_t, kSpiPageSize> source);
CommandResult SpiEraseBlock(CommandChannel& channel, const CommandChannel::Guard& guard,
                            DeviceHandle handle, uint32_t address);

// The enclosure firmware work is aimed at: the physical drive behind a
// device-table slot, or why there is none, in the words the user is shown
// when the first range operation finds out.
struct FlashTarget {
  std::optional<PhysicalDrive> drive;
  const char* missingPanel = nullptr;  // "Device not found!!!", "No Upgrade Mode!!!"
  const char* missingBox = nullptr;    // "No Device found !", "No Upgrade Mode !"
};
// The drive of device-table slot `slot` (a slot past the devices has none).
FlashTarget FlashTargetOf(const DeviceTable& devices, EnclosureSlot slot);

// Range operations on a target. Each opens the drive, walks the range in
// steps with nine attempts per step, reports every failed attempt in the
// message panel, adds one to `progress` per good step and closes the drive
// on every path. Without a drive it says why and fails.
//
// The channel and the drive stay locked from the first step to the last, so
// nothing (a detection on its own thread, a handler run from the message
// pump, another program) can knock the controller between two pages of a
// flash write. When another program holds the drive the operation fails at
// once and says so; when the channel cannot be had otherwise (the
// application is closing, or this thread already holds the channel) every
// attempt of the first step fails. It never waits forever.
//
// A page read counts only when the controller carried it out and its bytes
// were copied: a read answered with status 0x00 is a failed attempt, so no
// byte of `destination` is ever left as the caller had it.
//
// The length must be a whole number of steps (128 bytes for read and write,
// 4096 for erase) and the buffer must hold it; anything else is refused
// before the device is touched.
class SpiFlash {
 public:
  SpiFlash(CommandChannel& channel, StatusPanels& panels, Messages& messages,
           std::atomic<uint32_t>& progress)
      : channel_(channel), panels_(panels), messages_(messages), progress_(progress) {}

  bool ReadSPI(const FlashTarget& target, uint32_t address, uint32_t length,
               std::span<uint8_t> destination);
  bool WriteSPI(const FlashTarget& target, uint32_t address, uint32_t length,
                std::span<const uint8_t> source);
  bool EraseSPI(const FlashTarget& target, uint32_t address, uint32_t length);

 private:
  struct Range;
  using Step = std::function<CommandResult(const CommandChannel::Guard& guard, DeviceHandle handle,
                                           uint32_t address, uint32_t offset)>;
  bool Run(const Range& range, const FlashTarget& target, uint32_t address, uint32_t length,
           std::size_t bufferSize, const Step& step);
  void Report(const std::string& text) { panels_.SetText(StatusPanels::kMessagePanel, text); }

  CommandChannel& channel_;
  StatusPanels& panels_;
  Messages& messages_;
  std::atomic<uint32_t>& progress_;
};

}  // namespace px
