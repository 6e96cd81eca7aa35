#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "device/transport.h"
#include "raid/device_table.h"

namespace px {

using Record = std::array<uint8_t, kSectorSize>;
using Reply = std::array<uint8_t, kSectorSize>;

// StatusRecord layout: what the program knows of one enclosure's volume.
namespace status {
inline constexpr std::size_t kDrive = 0;
inline constexpr std::size_t kType = 1;  // kRecordValid once discovery has read it
inline constexpr std::size_t kP0State = 30;
inline constexpr std::size_t kP1State = 31;
inline constexpr std::size_t kFirmwareTextForm = 46;  // 2 bytes, never filled
inline constexpr std::size_t kModeLetter = 55;        // never filled
inline constexpr std::size_t kSettings = 56;          // bit 0 buzzer, bit 2 schedule backup
inline constexpr std::size_t kMode = 57;
inline constexpr std::size_t kP0Serial = 58;
inline constexpr std::size_t kP1Serial = 78;
inline constexpr std::size_t kVolumeCapacity = 98;  // 6 bytes LE
inline constexpr std::size_t kPortFlags = 104;
inline constexpr std::size_t kProgressFlags = 105;
inline constexpr std::size_t kProgress = 106;
inline constexpr std::size_t kRevisionSuffix = 187;  // 3 bytes, never filled
inline constexpr std::size_t kBackupPeriod = 190;    // never filled
inline constexpr std::size_t kP0Model = 256;
inline constexpr std::size_t kP0Capacity = 296;
inline constexpr std::size_t kP1Model = 302;
inline constexpr std::size_t kP1Capacity = 342;
inline constexpr std::size_t kRevisionMark = 348;  // 0xA0: revision bytes present, 0xFF: not
inline constexpr std::size_t kRevision = 349;      // 3 bytes
inline constexpr std::size_t kCurrentLba = 353;    // 4 bytes LE, never filled
inline constexpr std::size_t kLinkSpeeds = 357;    // never filled
inline constexpr std::size_t kBadSectorCount = 471;
inline constexpr std::size_t kBadSectorList = 472;
inline constexpr std::size_t kModelSize = 40;
inline constexpr std::size_t kSerialSize = 20;
inline constexpr std::size_t kCapacitySize = 6;
}  // namespace status

inline constexpr uint8_t kRecordValid = 0xA0;

// Array mode codes of StatusRecord byte 57.
inline constexpr uint8_t kModeStriping = 0;
inline constexpr uint8_t kModeMirror = 1;
inline constexpr uint8_t kModeNraid = 2;
inline constexpr uint8_t kModeJbod = 3;
inline constexpr uint8_t kModeBypass = 63;

// PortFlags classes, P0 in the low half; P1 uses the same shifted by 4.
inline constexpr uint8_t kPortInserted = 0x01;  // state 6
inline constexpr uint8_t kPortReady = 0x02;     // state 0 or 1
inline constexpr uint8_t kPortOff = 0x04;       // any other state
inline constexpr uint8_t kPortFailed = 0x08;    // state 9

// ProgressFlags bits.
inline constexpr uint8_t kProgressP0 = 0x01;
inline constexpr uint8_t kProgressP1 = 0x02;
inline constexpr uint8_t kP0BadSector = 0x04;
inline constexpr uint8_t kP1BadSector = 0x08;
inline constexpr uint8_t kCapacityTooSmall = 0x80;

// Settings flags of StatusRecord byte 56.
inline constexpr uint8_t kSettingsBuzzerOn = 0x01;
inline constexpr uint8_t kSettingsScheduleBackupOn = 0x04;

// ConfigRecord: the identity reply (query 0x11) as discovery keeps it.
namespace config {
inline constexpr std::size_t kFirmwareVersion = 46;  // 4 bytes BE; byte 49 bit 4 = port order
inline constexpr std::size_t kPortOrder = 49;
inline constexpr uint8_t kPortOrderBit = 0x10;   // set: P0 is port record A
inline constexpr std::size_t kProductCode = 50;  // 2 bytes
inline constexpr std::size_t kDeviceName = 54;   // 40 bytes, ATA order
inline constexpr std::size_t kDeviceNameSize = 40;
inline constexpr std::size_t kRevisionAbsent = 124;  // 124 and 125 both 0: revision bytes supplied
}  // namespace config

// Controller replies.
namespace reply {
// Status, query 0x17.
inline constexpr std::size_t kMode = 80;
inline constexpr std::size_t kPortRecordA = 84;
inline constexpr std::size_t kPortRecordB = 160;
inline constexpr std::size_t kPortRecordSize = 76;
inline constexpr std::size_t kPortState = 0;
inline constexpr std::size_t kPortModel = 4;
inline constexpr std::size_t kPortSerial = 44;
inline constexpr std::size_t kPortCapacity = 70;  // 6 bytes BE
// Progress, query 0x15.
inline constexpr std::size_t kProgressPresent = 84;  // == 2 when a report is present
inline constexpr uint8_t kProgressPresentValue = 2;
inline constexpr std::size_t kProgressTotal = 94;     // 6 bytes BE
inline constexpr std::size_t kProgressCurrent = 119;  // 5 bytes BE
// Identity, query 0x11.
inline constexpr std::size_t kIdentityVersion = 88;  // 8 bytes copied over ConfigRecord 46-53
inline constexpr std::size_t kIdentityProduct = 92;
inline constexpr std::size_t kIdentityRevision = 127;  // 3 bytes, stored reversed
}  // namespace reply

inline constexpr uint8_t kQueryPresence = 0x10;
inline constexpr uint8_t kQueryIdentity = 0x11;
inline constexpr uint8_t kQueryProgress = 0x15;
inline constexpr uint8_t kQueryStatus = 0x17;

// One 512-byte record of each kind per physical drive 0-9, zero at start.
struct RecordTables {
  std::array<Record, kPhysicalDrives> StatusRecord{};
  std::array<Record, kPhysicalDrives> ConfigRecord{};

  // The records of `drive`, which must be in range.
  Record& Status(PhysicalDrive drive) { return StatusRecord[drive.number()]; }
  const Record& Status(PhysicalDrive drive) const { return StatusRecord[drive.number()]; }
  Record& Config(PhysicalDrive drive) { return ConfigRecord[drive.number()]; }
  const Record& Config(PhysicalDrive drive) const { return ConfigRecord[drive.number()]; }
};

// Mode code from the raw mode byte of a status reply: 0 JBOD, 1 Striping,
// 2 Mirror, anything larger Bypass. NRAID is never produced.
uint8_t ModeFromReply(uint8_t raw);

// Class bit of a port state, in the P0 half.
uint8_t PortClass(uint8_t state);

// Which members' model, serial and capacity a decode copies.
enum class MemberCopy {
  // A poll: every class but "off" copies; "off" keeps the last values.
  Poll,
  // Discovery: only ready and failed members copy; the others are blanked.
  Discovery,
  // Discovery of a record that already belonged to this drive: only ready and
  // failed members copy; the others keep their last values.
  DiscoverySameDrive,
};

// Turns a status reply (query 0x17) into the StatusRecord: mode, both states,
// PortFlags, ProgressFlags and the members' texts and capacities.
void DecodeStatusReply(std::span<const uint8_t, kSectorSize> reply,
                       std::span<const uint8_t, kSectorSize> config,
                       std::span<uint8_t, kSectorSize> status, MemberCopy copy = MemberCopy::Poll);

// current * 100 / total of a progress reply, truncated: 0 to 100. A current
// sector past the total tells no percentage at all, and gives none; a total
// of 0 gives 0 rather than a division by zero.
std::optional<uint8_t> ProgressPercent(uint64_t current, uint64_t total);

// StatusRecord byte 348: whether bytes 349-351 hold revision bytes.
inline constexpr uint8_t kRevisionPresent = 0xA0;
inline constexpr uint8_t kRevisionMissing = 0xFF;

}  // namespace px
