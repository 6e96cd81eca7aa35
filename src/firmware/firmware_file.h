#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <system_error>

#include "common/ui.h"
#include "device/transport.h"
#include "firmware/firmware_state.h"

namespace px {

// The descriptor a firmware file carries at offset 128; numbers are stored
// most significant byte first. The body it protects starts at 176.
namespace firmware_file {
inline constexpr std::size_t kSignature = 128;  // "QKRZ"
inline constexpr std::size_t kGuid = 132;       // 16 bytes
inline constexpr std::size_t kBodyLength = 148;
inline constexpr std::size_t kBodyCrc = 152;
inline constexpr std::size_t kVersion = 156;
inline constexpr std::size_t kProduct = 160;  // 2 bytes
inline constexpr std::size_t kBody = 176;
inline constexpr std::array<uint8_t, 4> kSignatureBytes = {'Q', 'K', 'R', 'Z'};
// {AE166DEF-6FDC-474C-9BA4-B6AAE4B69A84} as the platform lays a GUID out.
inline constexpr std::array<uint8_t, 16> kGuidBytes = {
    0xEF, 0x6D, 0x16, 0xAE, 0xDC, 0x6F, 0x4C, 0x47, 0x9B, 0xA4, 0xB6, 0xAA, 0xE4, 0xB6, 0x9A, 0x84};
// Product checks apply only when both versions are newer than this.
inline constexpr uint32_t kProductCheckVersion = 0x13122500;
}  // namespace firmware_file

// Reads the file into the program's firmware image and keeps it only when it
// passes, in order, the CRC, GUID, signature and product checks against the
// device's identity record (`deviceConfig`, bytes 46-49 version, 50-51
// product). Any previous image is dropped first. Every outcome is told in
// the status bar (path, byte sum, both versions) or an "Error" box. Returns
// the system's reason when the file could not be opened or read (the box
// says only that it failed); empty otherwise.
std::error_code LoadFirmwareFile(const std::filesystem::path& path,
                                 std::span<const uint8_t, kSectorSize> deviceConfig,
                                 FirmwareState& state, StatusPanels& panels, Messages& messages);

}  // namespace px
