#pragma once

#include <cstddef>
#include <cstdint>

namespace px {

// The standard CRC-32 of IEEE 802.3 (zlib's crc32): knock frames and firmware
// file bodies are both protected by it. Check value of "123456789":
// 0xCBF43926.
uint32_t RecordChecksum(const uint8_t* data, std::size_t length);

// Reverses n bytes in place; the channel stores checksums and page numbers
// most significant byte first with it.
void ReverseBytes(uint8_t* data, std::size_t n);

}  // namespace px
