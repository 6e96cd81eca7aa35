#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "device/scsi_commands.h"
#include "device/transport.h"
#include "sim/scenario.h"

namespace px::sim {

using Sector = std::array<uint8_t, kSectorSize>;
using InquiryData = std::array<uint8_t, kInquiryLength>;

// The controller's way of writing a text into a fixed field: space padded
// (or cut) to the field's size, then the two bytes of each pair exchanged.
void StoreAtaText(std::span<uint8_t> field, std::string_view readable);

// A reply sector with both signatures and the status byte, zeros elsewhere.
Sector MakeReplySector(uint8_t status);

// The bytes each query adds to a reply sector (status 0x20 already in it).
// Presence (0x10) adds nothing.
void FillIdentityReply(const ControllerScenario& scenario, Sector& reply);  // 0x11
void FillProgressReply(const ControllerScenario& scenario, Sector& reply);  // 0x15
void FillStatusReply(const ControllerScenario& scenario, Sector& reply);    // 0x17

// The whole reply the controller gives to query s with the scenario; an
// unknown s gives kStatusUnknownCommand.
Sector MakeQueryReply(const ControllerScenario& scenario, uint8_t subCommand);

// Offset of P0's port record in a status reply: record A (84) when bit 4 of
// the version's lowest byte is set, else record B (160).
std::size_t P0RecordOffset(uint32_t firmwareVersion);

// Standard INQUIRY data: direct-access device, vendor at 8, product at 16,
// revision at 32, all space padded.
InquiryData MakeInquiryData(const InquiryScenario& inquiry);

// The 16-bit sum of control sector bytes 7-509.
uint16_t ControlSectorSum(std::span<const uint8_t, kSectorSize> sector);

// Decodes a control sector as the controller sees it.
ControlWrite DecodeControlSector(std::span<const uint8_t, kSectorSize> sector);

}  // namespace px::sim
