#pragma once

#include <cstddef>
#include <cstdint>

namespace px {

// Controller replies carry numbers most significant byte first; records keep
// them least significant byte first. These read and write n-byte fields.
inline uint64_t LoadBigEndian(const uint8_t* p, std::size_t n) {
  uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

inline uint64_t LoadLittleEndian(const uint8_t* p, std::size_t n) {
  uint64_t v = 0;
  for (std::size_t i = n; i > 0; --i) v = (v << 8) | p[i - 1];
  return v;
}

inline void StoreBigEndian(uint8_t* p, std::size_t n, uint64_t v) {
  for (std::size_t i = n; i > 0; --i) {
    p[i - 1] = static_cast<uint8_t>(v & 0xFF);
    v >>= 8;
  }
}

inline void StoreLittleEndian(uint8_t* p, std::size_t n, uint64_t v) {
  for (std::size_t i = 0; i < n; ++i) {
    p[i] = static_cast<uint8_t>(v & 0xFF);
    v >>= 8;
  }
}

}  // namespace px
