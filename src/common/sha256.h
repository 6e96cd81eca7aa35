#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace px {

// SHA-256 (FIPS 180-4), for the checksum a flash backup carries beside it.
// The core builds with the standard library alone, so it has its own.
using Sha256Digest = std::array<uint8_t, 32>;

Sha256Digest Sha256(std::span<const uint8_t> bytes);

// The digest as 64 lower-case hexadecimal digits, as sha256sum prints it.
std::string Sha256Text(std::span<const uint8_t> bytes);

}  // namespace px
