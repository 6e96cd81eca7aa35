#include "device/checksum.h"

#include <array>
#include <utility>

namespace px {
namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7;

constexpr uint32_t Reflect(uint32_t value, int bits) {
  uint32_t out = 0;
  for (int i = 0; i < bits; ++i) {
    if (value & (1U << i)) out |= 1U << (bits - 1 - i);
  }
  return out;
}

// Built the long way round (reflect the index, run the non-reflected
// shift-and-XOR, reflect back) once at compile time instead of at every call;
// the table, and so every checksum, is the same.
constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t r = Reflect(n, 8) << 24;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000U) ? (r << 1) ^ kPolynomial : (r << 1);
    table[n] = Reflect(r, 32);
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

}  // namespace

uint32_t RecordChecksum(const uint8_t* data, std::size_t length) {
  uint32_t crc = 0xFFFFFFFFU;
  for (std::size_t i = 0; i < length; ++i) crc = kTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void ReverseBytes(uint8_t* data, std::size_t n) {
  for (std::size_t i = 0; i < n / 2; ++i) std::swap(data[i], data[n - 1 - i]);
}

}  // namespace px
