#include "device/knock.h"

#include <algorithm>
#include <cstring>

#include "device/checksum.h"

namespace px {

KnockCommand ControllerQuery(uint8_t subCommand) {
  return {{0x00, 0x04, 0xEF, 0xFF}, {subCommand, 0xCF, 0xDF, 0xEF}, nullptr};
}

uint32_t QueryWaitLimitMs(uint8_t subCommand) {
  return subCommand == 0x10 ? 1000 : 3000;
}

void InitCommandRecord(CommandRecord& record) {
  std::copy(kPreamble.begin(), kPreamble.end(), record.Frame.begin());
}

void BuildCommand(CommandRecord& record, const KnockCommand& command) {
  InitCommandRecord(record);
  std::copy(command.header.begin(), command.header.end(), record.Frame.begin() + 8);
  std::copy(command.command.begin(), command.command.end(), record.Frame.begin() + 12);
  const bool longForm = command.payload != nullptr;
  if (longForm) std::memcpy(record.Frame.data() + 16, command.payload, kPayloadSize);
  const std::size_t covered = longForm ? 144 : 16;
  // Stored most significant byte first, as ReverseBytes over the host value
  // would leave it on the little-endian machines the format was made on.
  const uint32_t crc = RecordChecksum(record.Frame.data(), covered);
  for (std::size_t i = 0; i < 4; ++i) {
    record.Frame[covered + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  }
  record.LongForm = longForm ? 1 : 0;
}

void EncodeLbaList(CommandRecord& record) {
  std::size_t n = 0;
  auto& list = record.LbaList;
  const auto& f = record.Frame;
  for (std::size_t i = 0; i < 4; ++i) list[n++] = f[2 * i];  // preamble words 0x43 0x71 0xA7 0xDF
  for (std::size_t i = 8; i < 12; ++i) list[n++] = kHeaderLbaBase + f[i];
  for (std::size_t i = 12; i < 16; ++i) list[n++] = kCommandLbaBase + f[i];
  std::size_t checksumAt = 16;
  if (record.LongForm) {
    for (std::size_t i = 16; i < 144; ++i) list[n++] = kPayloadLbaBase + f[i];
    checksumAt = 144;
  }
  for (std::size_t i = checksumAt; i < checksumAt + 4; ++i) list[n++] = kChecksumLbaBase + f[i];
  record.LbaCount = static_cast<uint32_t>(n);
}

uint8_t NormaliseStatus(uint8_t raw) {
  switch (raw) {
    case 0x00:
    case 0x10:
    case 0x20:
    case 0xC0:
    case 0xD0:
    case 0xE0:
    case 0xF0:
    case 0xFF:
      return raw;
    default:
      return kResultOtherStatus;
  }
}

bool IsReplySector(std::span<const uint8_t, kSectorSize> sector) {
  return std::memcmp(sector.data(), kReplyHeadSignature, 16) == 0 &&
         std::memcmp(sector.data() + kReplyTailOffset, kReplyTailSignature, 16) == 0;
}

}  // namespace px
