#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "device/knock.h"
#include "sim/virtual_controller.h"

namespace px::sim::test {

// Header and command bytes of the SPI commands, as the host spells them.
inline KnockCommand SpiRead(uint16_t page) {
  return {{0x00, 0x04, 0xEF, 0xFF},
          {0x20, 0x01, static_cast<uint8_t>(page >> 8), static_cast<uint8_t>(page)},
          nullptr};
}
inline KnockCommand SpiWrite(uint16_t page, const uint8_t* data) {
  return {{0x01, 0x05, 0xEF, 0xFF},
          {0x25, 0x01, static_cast<uint8_t>(page >> 8), static_cast<uint8_t>(page)},
          data};
}
inline KnockCommand SpiErase(uint16_t page) {
  return {{0x00, 0x05, 0xEF, 0xFF},
          {0x23, 0x01, static_cast<uint8_t>(page >> 8), static_cast<uint8_t>(page)},
          nullptr};
}

// The frame's LBAs as the host encodes them, without separators.
inline std::vector<uint32_t> FrameLbas(const KnockCommand& command) {
  CommandRecord record;
  BuildCommand(record, command);
  EncodeLbaList(record);
  std::vector<uint32_t> out;
  for (uint32_t i = 0; i < record.LbaCount && i < record.LbaList.size(); ++i) {
    out.push_back(record.LbaList[i]);
  }
  return out;
}

// The reads the host makes for a knock: 0x5FFF between equal neighbours.
inline std::vector<uint32_t> KnockReads(const KnockCommand& command) {
  std::vector<uint32_t> out;
  uint32_t previous = 0;
  for (uint32_t lba : FrameLbas(command)) {
    if (lba == previous) out.push_back(kSeparatorLba);
    out.push_back(lba);
    previous = lba;
  }
  return out;
}

inline Sector ReadOne(VirtualDrive& drive, uint32_t lba) {
  Sector s{};
  drive.Read(lba, 1, s.data());
  return s;
}

inline void Play(VirtualDrive& drive, const std::vector<uint32_t>& reads) {
  for (uint32_t lba : reads) (void)ReadOne(drive, lba);
}

// One poll as the host makes it: a separator read, then LBA 17.
inline Sector Poll(VirtualDrive& drive) {
  (void)ReadOne(drive, kSeparatorLba);
  return ReadOne(drive, kReplyLba);
}

inline bool IsReply(const Sector& s) {
  return IsReplySector(std::span<const uint8_t, kSectorSize>(s));
}

// Knock, then one poll.
inline Sector Knock(VirtualDrive& drive, const KnockCommand& command) {
  Play(drive, KnockReads(command));
  return Poll(drive);
}

inline std::vector<uint8_t> Bytes(const Sector& s, std::size_t at, std::size_t n) {
  return {s.begin() + static_cast<std::ptrdiff_t>(at),
          s.begin() + static_cast<std::ptrdiff_t>(at + n)};
}

}  // namespace px::sim::test
