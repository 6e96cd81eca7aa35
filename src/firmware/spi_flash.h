#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "common/ui.h"
#include "device/channel.h"
#include "device/session.h"

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

// Single steps on a handle the caller opened, under the caller's guard.
// 0x00 when the controller carried the step out, otherwise the channel code
// or the controller's status. A controller status of 0x00 also gives 0x00,
// and a page read then leaves `destination` as it was.
uint8_t SpiReadPage(CommandChannel& channel, const CommandChannel::Guard& guard,
                    DeviceHandle handle, uint32_t address,
                    std::span<uint8_t, kSpiPageSize> destination);
uint8_t SpiWritePage(CommandChannel& channel, const CommandChannel::Guard& guard,
                     DeviceHandle handle, uint32_t address,
                     std::span<const uint8_t, kSpiPageSize> source);
uint8_t SpiEraseBlock(CommandChannel& channel, const CommandChannel::Guard& guard,
                      DeviceHandle handle, uint32_t address);

// Range operations on the upgrade target, the enclosure at
// DeviceSlot[UpgradeSlot]. Each opens the drive, walks the range in steps
// with nine attempts per step, reports every failed attempt in the message
// panel, adds one to `progress` per good step and closes the drive on every
// path.
//
// The channel stays locked from the first step to the last, so nothing
// (a detection on its own thread, a handler run from the message pump) can
// knock the controller between two pages of a flash write. When the lock
// cannot be had (the application is closing, or this thread already holds
// the channel) every attempt of the first step fails; it never waits forever.
//
// The length must be a whole number of steps (128 bytes for read and write,
// 4096 for erase) and the buffer must hold it; anything else is refused
// before the device is touched.
class SpiFlash {
 public:
  SpiFlash(CommandChannel& channel, const DeviceTable& devices, StatusPanels& panels,
           Messages& messages, std::atomic<uint32_t>& progress)
      : channel_(channel),
        devices_(devices),
        panels_(panels),
        messages_(messages),
        progress_(progress) {}

  bool ReadSPI(uint32_t address, uint32_t length, std::span<uint8_t> destination);
  bool WriteSPI(uint32_t address, uint32_t length, std::span<const uint8_t> source);
  bool EraseSPI(uint32_t address, uint32_t length);

 private:
  struct Range;
  using Step = std::function<uint8_t(const CommandChannel::Guard& guard, DeviceHandle handle,
                                     uint32_t address, uint32_t offset)>;
  bool Run(const Range& range, uint32_t address, uint32_t length, std::size_t bufferSize,
           const Step& step);
  void Report(const std::string& text) { panels_.SetText(StatusPanels::kMessagePanel, text); }

  CommandChannel& channel_;
  const DeviceTable& devices_;
  StatusPanels& panels_;
  Messages& messages_;
  std::atomic<uint32_t>& progress_;
};

}  // namespace px
