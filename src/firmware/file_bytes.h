#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <streambuf>
#include <system_error>
#include <vector>

#include "common/ui.h"
#include "firmware/spi_flash.h"

namespace px {

// A firmware file is a flash image from address 0, and the channel reaches no
// flash byte from 8 MiB on. A larger file is no image of ours (a disk image,
// a film chosen by mistake): it is refused before a byte of it is read, so
// it costs neither memory nor time.
inline constexpr std::uintmax_t kMaxFirmwareFileSize = kSpiAddressSpace;

// Reads a whole file for the firmware tools. An open failure shows "Fail to
// open firmware file"; a file above kMaxFirmwareFileSize is refused unread;
// a read failure shows the byte offset where it happened, once (a file that
// cannot be read now will not be read by asking again). Each gives nullopt.
// The boxes keep the program's own texts; `reason`, when given, receives the
// system's reason for a file that could not be opened or read.
std::optional<std::vector<uint8_t>> ReadFirmwareSource(const std::filesystem::path& path,
                                                       Messages& messages,
                                                       std::error_code* reason = nullptr);

// The reading itself, from an opened source that should hold `size` bytes. A
// read error is the source throwing std::ios_base::failure, which is how a
// file buffer reports one; the box names the first byte not read.
std::optional<std::vector<uint8_t>> ReadFirmwareBytes(std::streambuf& source, std::size_t size,
                                                      Messages& messages,
                                                      std::error_code* reason = nullptr);

}  // namespace px
