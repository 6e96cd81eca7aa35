#include "device/checksum.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace px {
namespace {

uint32_t CrcOf(const std::string& text) {
  return RecordChecksum(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// A bit-by-bit CRC-32, written independently of the table, to compare against.
uint32_t SlowCrc(const std::vector<uint8_t>& data) {
  uint32_t crc = 0xFFFFFFFF;
  for (uint8_t b : data) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
  }
  return ~crc;
}

TEST(RecordChecksum, KnownValues) {
  struct Case {
    std::string text;
    uint32_t crc;
  } cases[] = {
      {"123456789", 0xCBF43926},
      {"", 0x00000000},
      {"abc", 0x352441C2},
  };
  for (const auto& c : cases) EXPECT_EQ(CrcOf(c.text), c.crc) << c.text;
}

TEST(RecordChecksum, MatchesBitwiseCrcOnEveryByteValueAndFrameLength) {
  for (std::size_t length : {1u, 16u, 144u, 255u, 256u, 4096u}) {
    std::vector<uint8_t> data(length);
    for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(i * 37 + length);
    EXPECT_EQ(RecordChecksum(data.data(), data.size()), SlowCrc(data)) << length;
  }
}

TEST(ReverseBytes, ReversesInPlaceForOddAndEvenCounts) {
  struct Case {
    std::vector<uint8_t> in, out;
  } cases[] = {
      {{1, 2, 3, 4}, {4, 3, 2, 1}},
      {{1, 2, 3}, {3, 2, 1}},
      {{0x00, 0x24}, {0x24, 0x00}},
      {{7}, {7}},
  };
  for (auto& c : cases) {
    ReverseBytes(c.in.data(), c.in.size());
    EXPECT_EQ(c.in, c.out);
  }
}

}  // namespace
}  // namespace px
