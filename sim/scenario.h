#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/transport.h"

namespace px::sim {

// One member disk as the controller describes it in its status reply. Texts
// are given in readable order; the controller stores them in ATA order (the
// two bytes of each pair exchanged), space padded, as a real controller
// copies them from the disk's IDENTIFY data.
struct PortScenario {
  uint8_t state = 0;  // 0/1 ready (1: rebuild running), 6 inserted, 9 failed, else off
  std::string model;
  std::string serial;
  uint64_t capacitySectors = 0;  // 48 bits travel

  friend bool operator==(const PortScenario&, const PortScenario&) = default;
};

// The progress reply (query 0x15) of a running rebuild or copy.
struct ProgressScenario {
  bool present = false;        // reply byte 84 == 2
  uint64_t totalSectors = 0;   // reply 94-99, 48 bits big-endian
  uint64_t currentSector = 0;  // reply 119-123, 40 bits big-endian

  friend bool operator==(const ProgressScenario&, const ProgressScenario&) = default;
};

// The 36 bytes of standard INQUIRY data. Texts are space padded (or cut) to
// 8, 16 and 4 bytes.
struct InquiryScenario {
  std::string vendor = "PX";
  std::string product = "SATA RAID Box";
  std::string revision = "0100";

  friend bool operator==(const InquiryScenario&, const InquiryScenario&) = default;
};

// Default members: two 1 TB disks (1953525168 sectors each).
inline constexpr uint64_t kOneTerabyteSectors = 1953525168;

// Everything a test or the demo says about one enclosure's controller. The
// defaults describe a healthy mirror of two 1 TB disks.
struct ControllerScenario {
  // Status reply byte 80: 0 JBOD, 1 Striping, 2 Mirror, anything above Bypass.
  uint8_t modeByte = 2;
  PortScenario p0{0, "WDC WD10EZEX-00BN5A0", "WD-WCC3F0000001", kOneTerabyteSectors};
  PortScenario p1{0, "WDC WD10EZEX-00BN5A0", "WD-WCC3F0000002", kOneTerabyteSectors};
  // Identity reply bytes 88-91, most significant byte first. Bit 4 of the
  // lowest byte (reply byte 91) is the port order: set, P0 is port record A
  // (reply offset 84) and P1 record B (160); clear, the other way round.
  // 0x14031815 shows as "140318.5" and puts P0 first.
  uint32_t firmwareVersion = 0x14031815;
  std::array<uint8_t, 2> productCode{0x50, 0x00};      // identity reply 92-93
  std::array<uint8_t, 2> identityBytes94{0x00, 0x00};  // identity reply 94-95
  // Identity reply bytes 127, 128, 129 exactly as they travel (the host
  // stores them reversed).
  std::array<uint8_t, 3> revision{0x03, 0x01, 0x01};
  // Identity reply bytes 124-125 are both 0 when true, 0xFF 0xFF when false.
  bool revisionSupplied = true;
  ProgressScenario progress;
  InquiryScenario inquiry;

  friend bool operator==(const ControllerScenario&, const ControllerScenario&) = default;
};

// Status byte the controller answers to a command it does not know.
inline constexpr uint8_t kStatusUnknownCommand = 0xE0;

// A tail signature that is not the controller's: the host must not take a
// sector carrying it for a reply.
inline constexpr char kWrongTailSignature[] = "__SATA6GRAID00__";

// Make the next `count` commands that match answer `status`, or not answer at
// all when `status` is empty. A faulted command is not carried out.
struct CommandFault {
  std::optional<uint8_t> c0;     // command byte c0 (0x20 read, 0x25 write, 0x23 erase, query s)
  std::optional<uint16_t> page;  // command bytes c2 c3, big-endian (SPI page number)
  uint32_t count = 1;
  std::optional<uint8_t> status;  // empty: no reply

  // The SPI page read of the page that holds byte `address`.
  static CommandFault SpiReadAt(uint32_t address, uint32_t count,
                                std::optional<uint8_t> status = std::nullopt) {
    return {0x20, static_cast<uint16_t>(address >> 7), count, status};
  }
};

// A bit that comes back inverted on SPI read-back; the flash keeps the true
// value. By default every read of the byte is wrong, as a stuck line would
// make it; a bit flipped on the way is wrong on some reads only.
struct FlippedBit {
  uint32_t address = 0;  // flash byte address
  uint8_t mask = 0x01;   // bits of that byte to invert
  // Only the first `reads` reads of the byte are wrong; 0: all of them.
  uint32_t reads = 0;
  // Of those, only every other one, the first included: no two reads in a
  // row agree.
  bool everyOther = false;
  // Reads of the byte so far; the controller counts them.
  uint32_t seen = 0;

  friend bool operator==(const FlippedBit&, const FlippedBit&) = default;
};

// Standing faults of one controller. Each stays until changed.
struct ControllerFaults {
  bool noReply = false;             // good knocks are carried out but never answered
  uint32_t replyAfterPolls = 0;     // reads of LBA 17 that still return the disk's data
  bool wrongTailSignature = false;  // reply carries kWrongTailSignature at 496
  std::optional<uint8_t> status;    // raw status instead of 0x20; command not carried out
  std::optional<FlippedBit> flippedBit;
  uint32_t readLatencyMicros = 0;  // charged by the bus for every READ(10) to this drive

  friend bool operator==(const ControllerFaults&, const ControllerFaults&) = default;
};

// One knock the controller recognised with a good checksum, and what it did.
struct ExecutedCommand {
  std::array<uint8_t, 4> header{};
  std::array<uint8_t, 4> command{};
  bool longForm = false;
  bool carriedOut = false;  // false: unknown command or a fault answered it
  bool replied = false;     // a reply was armed (false under "no reply" faults)
  uint8_t status = 0;       // raw status byte of the reply (when replied)
};

// A WRITE of LBA 20 as the controller decoded it.
struct ControlWrite {
  std::array<uint8_t, kSectorSize> sector{};
  bool signatureOk = false;  // bytes 0-1 are 0x33 0x58
  uint8_t requestCode = 0;   // byte 2: 0x20 settings, 0x1F host event
  uint8_t byte3 = 0;
  uint8_t hostEvent = 0;       // byte 4
  uint8_t scheduleBackup = 0;  // byte 5
  uint8_t periodCode = 0;      // byte 6
  uint64_t firstLba = 0;       // bytes 7-11, 40 bits little-endian
  uint64_t lastLba = 0;        // bytes 13-17, 40 bits little-endian
  uint16_t storedSum = 0;      // bytes 510-511, low byte first
  uint16_t computedSum = 0;    // 16-bit sum of bytes 7-509
  bool sumOk = false;
};

}  // namespace px::sim
