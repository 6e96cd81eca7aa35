#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// The rules the fuzz targets hold the program to, written again from the
// byte layouts alone: offsets as numbers, nothing taken from the program's
// own constants or views, so a wrong offset or rule there cannot hide behind
// the same mistake here.

namespace px::fuzz::ref {

using Sector = std::array<uint8_t, 512>;

// CRC-32 of IEEE 802.3, bit by bit rather than by table.
uint32_t Crc32(std::span<const uint8_t> bytes);

uint64_t BigEndian(std::span<const uint8_t> bytes);
uint64_t LittleEndian(std::span<const uint8_t> bytes);

// Mode code of StatusRecord byte 57 from status reply byte 80.
uint8_t ModeCode(uint8_t raw);

// PortFlags class bit of a port state, in the P0 half: 0x02 ready (0, 1),
// 0x01 inserted (6), 0x08 failed (9), 0x04 off (anything else).
uint8_t ClassBit(uint8_t state);

enum class Copy { Poll, Discovery, DiscoverySameDrive };

// The status reply (query 0x17) decoded into `record`: mode, both port
// states, PortFlags, ProgressFlags, and each member's model, serial and
// capacity as `copy` says. Which port record is P0 follows bit 4 of the
// identity record's byte 49.
void DecodeStatus(std::span<const uint8_t, 512> reply, uint8_t configByte49, Copy copy,
                  Sector& record);

// current * 100 / total, 0 to 100; 0 for a total of 0, none for a current
// past the total.
std::optional<uint8_t> Percent(uint64_t current, uint64_t total);

// A progress reply (query 0x15): a report present, total (48 bits) and
// current (40 bits) sectors.
struct Progress {
  bool present;
  uint64_t total;
  uint64_t current;
};
Progress ProgressOf(std::span<const uint8_t, 512> reply);

// Discovery's product rule: the identity reply's bytes 92 and 93 read 50 00
// or 05 00.
bool EnclosureProduct(std::span<const uint8_t, 512> identity);

// Whether a recording keeps the data a command read: any command but
// READ(10) (operation code 0x28), and a READ(10) of one sector whose bytes
// 0-15 read "__ZEPHLIN4471C__" or whose bytes 496-511 read
// "__SATA6GRAID01__".
bool KeptInRecording(uint8_t operationCode, std::span<const uint8_t> data);

}  // namespace px::fuzz::ref
