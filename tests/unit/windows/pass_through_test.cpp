#include "device/windows/pass_through.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "device/scsi_commands.h"

namespace px {
namespace {

// Where the driver finds each field: the platform's own layout, checked
// against the 64-bit and 32-bit figures.
#if defined(_WIN64)
constexpr std::size_t kDataBufferAt = 24, kSenseOffsetAt = 32, kCdbAt = 36, kFillerAt = 56,
                      kSenseAt = 60, kBlockSize = 96;
#else
constexpr std::size_t kDataBufferAt = 20, kSenseOffsetAt = 24, kCdbAt = 28, kFillerAt = 44,
                      kSenseAt = 48, kBlockSize = 80;
#endif

TEST(PassThroughBlock, FieldsSitWhereTheDriverLooks) {
  EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, Length), 0u);
  EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus), 2u);
  EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, PathId), 3u);
  EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, TargetId), 4u);
  EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, Lun), 5u);
  EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength), 6u);
  EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength), 7u);
  EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn), 8u);
  EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength), 12u);
  EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue), 16u);
  EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer), kDataBufferAt);
  EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset), kSenseOffsetAt);
  EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb), kCdbAt);
  EXPECT_EQ(offsetof(PassThroughBlock, filler), kFillerAt);
  EXPECT_EQ(offsetof(PassThroughBlock, sense), kSenseAt);
  EXPECT_EQ(sizeof(PassThroughBlock), kBlockSize);
}

uint32_t U32At(const std::vector<uint8_t>& bytes, std::size_t at) {
  uint32_t v;
  std::memcpy(&v, bytes.data() + at, sizeof v);
  return v;
}

// Reads the block as the driver does, byte by byte, and checks that every
// byte not named is zero.
TEST(FillPassThroughBlock, TheThreeCommandsAsTheDriverSeesThem) {
  std::array<uint8_t, 512> buffer{};
  struct Case {
    const char* what;
    ScsiRequest request;
    std::vector<uint8_t> cdb;
    uint8_t dataIn;
    uint32_t length;
    uint32_t timeout;
  } cases[] = {
      {"READ(10) LBA 0x5FFF",
       MakeRead10(0x5FFF, 1, buffer.data()),
       {0x28, 0, 0, 0, 0x5F, 0xFF, 0, 0, 1, 0},
       SCSI_IOCTL_DATA_IN,
       512,
       2},
      {"WRITE(10) LBA 20",
       MakeWrite10(20, 1, buffer.data()),
       {0x2A, 0, 0, 0, 0, 0x14, 0, 0, 1, 0},
       SCSI_IOCTL_DATA_OUT,
       512,
       2},
      {"INQUIRY",
       MakeInquiry(buffer.data()),
       {0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0},
       SCSI_IOCTL_DATA_IN,
       36,
       200},
  };
  EXPECT_EQ(SCSI_IOCTL_DATA_IN, 1);
  EXPECT_EQ(SCSI_IOCTL_DATA_OUT, 0);
  for (const auto& c : cases) {
    const PassThroughBlock block = FillPassThroughBlock(c.request);
    std::vector<uint8_t> bytes(sizeof block);
    std::memcpy(bytes.data(), &block, sizeof block);
    std::set<std::size_t> named;
    auto expectByte = [&](std::size_t at, uint8_t value) {
      EXPECT_EQ(bytes[at], value) << c.what << " byte " << at;
      named.insert(at);
    };
    auto expectU32 = [&](std::size_t at, uint32_t value) {
      EXPECT_EQ(U32At(bytes, at), value) << c.what << " at " << at;
      for (std::size_t i = 0; i < 4; ++i) named.insert(at + i);
    };
    expectByte(0, static_cast<uint8_t>(sizeof(SCSI_PASS_THROUGH_DIRECT)));  // Length
    expectByte(1, 0);
    expectByte(4, 1);   // TargetId
    expectByte(6, 10);  // CdbLength
    expectByte(7, 24);  // SenseInfoLength
    expectByte(8, c.dataIn);
    expectU32(12, c.length);
    expectU32(16, c.timeout);
    expectU32(kSenseOffsetAt, static_cast<uint32_t>(kSenseAt));
    void* dataBuffer = nullptr;
    std::memcpy(&dataBuffer, bytes.data() + kDataBufferAt, sizeof dataBuffer);
    EXPECT_EQ(dataBuffer, buffer.data()) << c.what;
    for (std::size_t i = 0; i < sizeof dataBuffer; ++i) named.insert(kDataBufferAt + i);
    for (std::size_t i = 0; i < c.cdb.size(); ++i) expectByte(kCdbAt + i, c.cdb[i]);
    for (std::size_t at = 0; at < bytes.size(); ++at) {
      if (named.count(at) == 0) {
        EXPECT_EQ(bytes[at], 0) << c.what << " unnamed byte " << at;
      }
    }
  }
}

// The block as the driver hands it back, read into the result: status and
// sense of a completed request (CHECK CONDITION included), the system's
// error of one that was refused.
TEST(PassThroughOutcome, ReportsStatusSenseAndTheSystemsError) {
  struct Case {
    const char* what;
    BOOL returned;
    DWORD error;
    UCHAR status;
    UCHAR senseLength;
    bool completed;
    uint8_t senseReported;
  } cases[] = {
      {"good", TRUE, ERROR_SUCCESS, 0x00, 0, true, 0},
      {"CHECK CONDITION", TRUE, ERROR_SUCCESS, 0x02, 18, true, 18},
      {"CHECK CONDITION, a length past the area", TRUE, ERROR_SUCCESS, 0x02, 40, true, 24},
      {"BUSY", TRUE, ERROR_SUCCESS, 0x08, 18, true, 0},
      {"refused", FALSE, ERROR_INVALID_FUNCTION, 0x00, 0, false, 0},
      {"device gone", FALSE, ERROR_DEVICE_NOT_CONNECTED, 0x00, 0, false, 0},
  };
  std::array<uint8_t, 512> buffer{};
  for (const auto& c : cases) {
    PassThroughBlock block = FillPassThroughBlock(MakeRead10(17, 1, buffer.data()));
    block.request.ScsiStatus = c.status;
    block.request.SenseInfoLength = c.senseLength;
    for (std::size_t i = 0; i < sizeof block.sense; ++i) block.sense[i] = static_cast<UCHAR>(i + 1);
    const CommandOutcome outcome = PassThroughOutcome(c.returned, c.error, block);
    EXPECT_EQ(outcome.completed, c.completed) << c.what;
    EXPECT_EQ(outcome.osError, c.completed ? 0 : static_cast<int32_t>(c.error)) << c.what;
    EXPECT_EQ(outcome.scsiStatus, c.completed ? c.status : 0) << c.what;
    ASSERT_EQ(outcome.senseLength, c.senseReported) << c.what;
    for (std::size_t i = 0; i < outcome.senseLength; ++i) {
      EXPECT_EQ(outcome.sense[i], i + 1) << c.what << " sense byte " << i;
    }
  }
}

}  // namespace
}  // namespace px
