#include "firmware/spi_flash.h"

#include <string>

#include "common/bytes.h"
#include "common/text.h"

namespace px {
namespace {

constexpr std::array<uint8_t, 4> kSpiReadHeader = {0x00, 0x04, 0xEF, 0xFF};
constexpr std::array<uint8_t, 4> kSpiWriteHeader = {0x01, 0x05, 0xEF, 0xFF};
constexpr std::array<uint8_t, 4> kSpiEraseHeader = {0x00, 0x05, 0xEF, 0xFF};
constexpr uint8_t kSpiRead = 0x20;
constexpr uint8_t kSpiWrite = 0x25;
constexpr uint8_t kSpiErase = 0x23;
constexpr uint8_t kSpiMarker = 0x01;

KnockCommand SpiCommand(const std::array<uint8_t, 4>& header, uint8_t operation, uint32_t address,
                        const uint8_t* payload) {
  KnockCommand command{header, {operation, kSpiMarker, 0, 0}, payload};
  StoreBigEndian(command.command.data() + 2, 2, (address / kSpiPageSize) & 0xFFFF);
  return command;
}

}  // namespace

KnockCommand SpiReadCommand(uint32_t address) {
  return SpiCommand(kSpiReadHeader, kSpiRead, address, nullptr);
}

KnockCommand SpiWriteCommand(uint32_t address, const uint8_t* payload) {
  return SpiCommand(kSpiWriteHeader, kSpiWrite, address, payload);
}

KnockCommand SpiEraseCommand(uint32_t address) {
  return SpiCommand(kSpiEraseHeader, kSpiErase, address, nullptr);
}

CommandResult SpiReadPage(CommandChannel& channel, const CommandChannel::Guard& guard,
                          DeviceHandle handle, uint32_t address,
                          std::span<uint8_t, kSpiPageSize> destination) {
  return channel.Transact(guard, handle, SpiReadCommand(address), kSpiWaitLimitMs, destination,
                          kReplySpiDataOffset);
}

CommandResult SpiWritePage(CommandChannel& channel, const CommandChannel::Guard& guard,
                           DeviceHandle handle, uint32_t address,
                           std::span<const uint8_t, kSpiPageSize> source) {
  return channel.Transact(guard, handle, SpiWriteCommand(address, source.data()), kSpiWaitLimitMs,
                          {});
}

CommandResult SpiEraseBlock(CommandChannel& channel, const CommandChannel::Guard& guard,
                            DeviceHandle handle, uint32_t address) {
  return channel.Transact(guard, handle, SpiEraseCommand(address), kSpiWaitLimitMs, {});
}

struct SpiFlash::Range {
  const char* name;
  uint32_t step;
  const char* attemptText;
  const char* finalText;
  // A read's data must have been copied; programming and erasing report a
  // status only.
  bool needsReply;
};

FlashTarget FlashTargetOf(const DeviceTable& devices, EnclosureSlot slot) {
  const uint32_t count = devices.DeviceCount;
  if (count == 0) return {std::nullopt, "Device not found!!!", "No Device found !"};
  if (slot.index() >= count || slot.index() >= kDeviceSlots) {
    return {std::nullopt, "No Upgrade Mode!!!", "No Upgrade Mode !"};
  }
  return {devices.Drive(slot), nullptr, nullptr};
}

bool SpiFlash::ReadSPI(const FlashTarget& target, uint32_t address, uint32_t length,
                       std::span<uint8_t> destination) {
  static constexpr Range kRange{"ReadSPI", kSpiPageSize, "ReadSPI fail ",
                                "ReadSPI fail, Address = ", true};
  return Run(
      kRange, target, address, length, destination.size(),
      [&](const CommandChannel::Guard& guard, DeviceHandle handle, uint32_t at, uint32_t offset) {
        return SpiReadPage(channel_, guard, handle, at,
                           destination.subspan(offset).first<kSpiPageSize>());
      });
}

bool SpiFlash::WriteSPI(const FlashTarget& target, uint32_t address, uint32_t length,
                        std::span<const uint8_t> source) {
  static constexpr Range kRange{"WriteSPI", kSpiPageSize, "WriteSPI fail",
                                "WriteSPI fail, Address = ", false};
  return Run(
      kRange, target, address, length, source.size(),
      [&](const CommandChannel::Guard& guard, DeviceHandle handle, uint32_t at, uint32_t offset) {
        return SpiWritePage(channel_, guard, handle, at,
                            source.subspan(offset).first<kSpiPageSize>());
      });
}

bool SpiFlash::EraseSPI(const FlashTarget& target, uint32_t address, uint32_t length) {
  static constexpr Range kRange{"EraseSPI", kSpiEraseSize, "EraseSPI fail ",
                                "EraseSPI fail, Address = ", false};
  return Run(kRange, target, address, length, length,
             [&](const CommandChannel::Guard& guard, DeviceHandle handle, uint32_t at,
                 uint32_t /*offset*/) { return SpiEraseBlock(channel_, guard, handle, at); });
}

bool SpiFlash::Run(const Range& range, const FlashTarget& target, uint32_t address, uint32_t length,
                   std::size_t bufferSize, const Step& step) {
  // A partial last step would move bytes past the caller's buffer.
  if (length % range.step != 0) {
    Report(std::string(range.name) + " refused: " + std::to_string(length) +
           " bytes is not a whole number of " + std::to_string(range.step) + "-byte steps");
    return false;
  }
  if (bufferSize < length) {
    Report(std::string(range.name) + " refused: the buffer holds " + std::to_string(bufferSize) +
           " of " + std::to_string(length) + " bytes");
    return false;
  }
  if (!target.drive) {
    Report(target.missingPanel);
    messages_.Show("Message", target.missingBox, MessageIcon::None);
    return false;
  }
  const PhysicalDrive drive = *target.drive;
  const ScopedDevice device(channel_.access(), drive);
  if (!device.valid()) {
    Report("CreateFile blocked!");
    return false;
  }
  const CommandChannel::Guard guard = channel_.Lock(drive);
  if (guard.refusal() == LockRefusal::DriveBusy) {
    Report(channel_.DriveBusyText(drive));
    return false;
  }
  const MessagePump& pump = channel_.pump();
  for (uint32_t offset = 0; offset < length; offset += range.step) {
    const uint32_t at = address + offset;
    bool done = false;
    for (int attempt = 1; attempt <= kSpiAttempts && !done; ++attempt) {
      if (pump) pump();
      const CommandResult result = step(guard, device.get(), at, offset);
      done = range.needsReply ? result.Answered() : result.Taken();
      if (!done) {
        Report(range.attemptText + std::to_string(attempt) +
               " times, Address = " + HexUpper(at, 4));
      }
    }
    if (!done) {
      Report(range.finalText + HexUpper(at, 4));
      return false;
    }
    ++progress_;
  }
  return true;
}

}  // namespace px
