#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "device/transport.h"

namespace px {

// What the record keeps as the status of an exchange that got no reply, and
// of a controller status outside the known set (see NormaliseStatus).
inline constexpr uint8_t kResultNoReply = 0xF2;
inline constexpr uint8_t kResultOtherStatus = 0xF4;

// The controller's status byte when it carried the command out.
inline constexpr uint8_t kStatusCarriedOut = 0x20;

inline constexpr uint32_t kReplyLba = 17;
inline constexpr uint32_t kSeparatorLba = 0x5FFF;
inline constexpr std::size_t kReplyStatusOffset = 48;
inline constexpr std::size_t kReplySpiDataOffset = 80;
inline constexpr std::size_t kPayloadSize = 128;
inline constexpr std::size_t kShortLbaCount = 16;
inline constexpr std::size_t kLongLbaCount = 144;

inline constexpr std::array<uint8_t, 8> kPreamble = {0x43, 0x00, 0x71, 0x00,
                                                     0xA7, 0x00, 0xDF, 0x00};
inline constexpr char kReplyHeadSignature[] = "__ZEPHLIN4471C__";
inline constexpr char kReplyTailSignature[] = "__SATA6GRAID01__";
inline constexpr std::size_t kReplyTailOffset = 496;

// The LBA bases that spell each part of a frame.
inline constexpr uint32_t kHeaderLbaBase = 0x100;
inline constexpr uint32_t kCommandLbaBase = 0x200;
inline constexpr uint32_t kPayloadLbaBase = 0x300;
inline constexpr uint32_t kChecksumLbaBase = 0x400;

// The one record a channel command is built in. Each command overwrites every
// field; nothing of a previous command survives.
struct CommandRecord {
  std::array<uint8_t, 148> Frame{};
  uint32_t LongForm = 0;
  std::array<uint32_t, kLongLbaCount> LbaList{};
  uint32_t LbaCount = 0;
  std::array<uint8_t, kSectorSize> Sector{};
  uint32_t ReplyLba = kReplyLba;
  uint8_t Status = 0;
};

// What a command says: header and command bytes, and for the long form the
// 128 payload bytes.
struct KnockCommand {
  std::array<uint8_t, 4> header{};
  std::array<uint8_t, 4> command{};
  const uint8_t* payload = nullptr;  // 128 bytes, or null for the short form
};

// Controller query s: header 00 04 EF FF, command s CF DF EF, short form.
KnockCommand ControllerQuery(uint8_t subCommand);

// Wait limit of a controller query: 1000 ms for 0x10, 3000 ms otherwise.
uint32_t QueryWaitLimitMs(uint8_t subCommand);

// Writes the preamble into the frame.
void InitCommandRecord(CommandRecord& record);

// InitCommandRecord, header, command, payload, checksum and LongForm.
void BuildCommand(CommandRecord& record, const KnockCommand& command);

// Fills LbaList and LbaCount from Frame and LongForm.
void EncodeLbaList(CommandRecord& record);

// Values outside 00 10 20 C0 D0 E0 F0 FF become 0xF4.
uint8_t NormaliseStatus(uint8_t raw);

// Both signatures in place: the sector is a reply.
bool IsReplySector(std::span<const uint8_t, kSectorSize> sector);

}  // namespace px
