#include "device/knock.h"

#include <gtest/gtest.h>

#include <vector>

#include "device/checksum.h"

namespace px {
namespace {

std::vector<uint8_t> FrameHead(const CommandRecord& r, std::size_t n) {
  return std::vector<uint8_t>(r.Frame.begin(), r.Frame.begin() + static_cast<std::ptrdiff_t>(n));
}

std::vector<uint32_t> Lbas(const CommandRecord& r) {
  return std::vector<uint32_t>(r.LbaList.begin(), r.LbaList.begin() + r.LbaCount);
}

TEST(KnockFrame, Query10FrameChecksumAndLbaList) {
  CommandRecord r;
  BuildCommand(r, ControllerQuery(0x10));
  EncodeLbaList(r);
  EXPECT_EQ(FrameHead(r, 20),
            (std::vector<uint8_t>{0x43, 0x00, 0x71, 0x00, 0xA7, 0x00, 0xDF, 0x00, 0x00, 0x04,
                                  0xEF, 0xFF, 0x10, 0xCF, 0xDF, 0xEF, 0x1B, 0xDF, 0x38, 0x2E}));
  EXPECT_EQ(r.LongForm, 0u);
  EXPECT_EQ(Lbas(r),
            (std::vector<uint32_t>{0x43, 0x71, 0xA7, 0xDF, 0x100, 0x104, 0x1EF, 0x1FF, 0x210, 0x2CF,
                                   0x2DF, 0x2EF, 0x41B, 0x4DF, 0x438, 0x42E}));
}

TEST(KnockFrame, QueryChecksumsAndWaitLimits) {
  struct Case {
    uint8_t sub;
    std::vector<uint32_t> checksumLbas;
    uint32_t waitMs;
  } cases[] = {
      {0x10, {0x41B, 0x4DF, 0x438, 0x42E}, 1000},
      {0x17, {0x486, 0x408, 0x400, 0x497}, 3000},
      {0x11, {}, 3000},
      {0x15, {}, 3000},
  };
  for (const auto& c : cases) {
    CommandRecord r;
    BuildCommand(r, ControllerQuery(c.sub));
    EncodeLbaList(r);
    ASSERT_EQ(r.LbaCount, kShortLbaCount);
    if (!c.checksumLbas.empty()) {
      EXPECT_EQ(std::vector<uint32_t>(r.LbaList.begin() + 12, r.LbaList.begin() + 16),
                c.checksumLbas);
    }
    EXPECT_EQ(QueryWaitLimitMs(c.sub), c.waitMs);
  }
}

TEST(KnockFrame, LongFormCarriesPayloadAndChecksumOver144Bytes) {
  std::vector<uint8_t> payload(128);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
  CommandRecord r;
  BuildCommand(r, {{0x01, 0x05, 0xEF, 0xFF}, {0x25, 0x01, 0x00, 0x24}, payload.data()});
  EncodeLbaList(r);
  EXPECT_EQ(r.LongForm, 1u);
  ASSERT_EQ(r.LbaCount, kLongLbaCount);
  for (std::size_t i = 0; i < 128; ++i) EXPECT_EQ(r.LbaList[12 + i], 0x300 + i);
  // The checksum LBAs spell the CRC of the first 144 frame bytes, MSB first.
  const uint32_t crc = RecordChecksum(r.Frame.data(), 144);
  for (std::size_t i = 0; i < 4; ++i) {
    const auto byte = static_cast<uint8_t>(crc >> (24 - 8 * i));
    EXPECT_EQ(r.Frame[144 + i], byte) << i;
    EXPECT_EQ(r.LbaList[140 + i], kChecksumLbaBase + byte) << i;
  }
}

TEST(KnockFrame, StatusNormalisation) {
  for (int raw = 0; raw < 256; ++raw) {
    const bool known = raw == 0x00 || raw == 0x10 || raw == 0x20 || raw == 0xC0 || raw == 0xD0 ||
                       raw == 0xE0 || raw == 0xF0 || raw == 0xFF;
    EXPECT_EQ(NormaliseStatus(static_cast<uint8_t>(raw)), known ? raw : 0xF4) << raw;
  }
}

TEST(KnockFrame, ReplyNeedsBothSignatures) {
  std::array<uint8_t, kSectorSize> sector{};
  EXPECT_FALSE(IsReplySector(sector));
  std::copy_n(kReplyHeadSignature, 16, sector.begin());
  EXPECT_FALSE(IsReplySector(sector));
  std::copy_n(kReplyTailSignature, 16, sector.begin() + kReplyTailOffset);
  EXPECT_TRUE(IsReplySector(sector));
  sector[511] ^= 1;
  EXPECT_FALSE(IsReplySector(sector));
}

}  // namespace
}  // namespace px
