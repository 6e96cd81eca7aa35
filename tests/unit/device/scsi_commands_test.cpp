#include "device/scsi_commands.h"

#include <gtest/gtest.h>

#include <vector>

namespace px {
namespace {

using Cdb = std::vector<uint8_t>;

Cdb CdbOf(const ScsiRequest& r) {
  return Cdb(r.cdb.begin(), r.cdb.begin() + 16);
}

TEST(ScsiCommands, CdbLengthsDirectionsAndTimeouts) {
  uint8_t buffer[512];
  struct Case {
    const char* name;
    ScsiRequest request;
    Cdb cdb;
    DataDirection direction;
    uint32_t length;
    uint32_t timeout;
  } cases[] = {
      {"read 0x5FFF",
       MakeRead10(0x5FFF, 1, buffer),
       {0x28, 0, 0, 0, 0x5F, 0xFF, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0},
       DataDirection::In,
       512,
       2},
      {"write 20",
       MakeWrite10(20, 1, buffer),
       {0x2A, 0, 0, 0, 0x00, 0x14, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0},
       DataDirection::Out,
       512,
       2},
      {"read high LBA, 255 sectors",
       MakeRead10(0x12345678, 255, buffer),
       {0x28, 0, 0x12, 0x34, 0x56, 0x78, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0},
       DataDirection::In,
       255 * 512,
       2},
      {"inquiry",
       MakeInquiry(buffer),
       {0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       DataDirection::In,
       36,
       200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CdbOf(c.request), c.cdb);
    EXPECT_EQ(c.request.cdbLength, 10);
    EXPECT_EQ(c.request.direction, c.direction);
    EXPECT_EQ(c.request.transferLength, c.length);
    EXPECT_EQ(c.request.timeoutSeconds, c.timeout);
    EXPECT_EQ(c.request.data, buffer);
  }
}

TEST(ScsiCommands, SelectorNamesPhysicalDriveUpToBAndVolumeAbove) {
  struct Case {
    int8_t selector;
    DevicePath path;
    const char* windowsPath;
  } cases[] = {
      {2, {DevicePath::Kind::PhysicalDrive, PhysicalDrive(2), 0}, "\\\\.\\PhysicalDrive2"},
      {0, {DevicePath::Kind::PhysicalDrive, PhysicalDrive(0), 0}, "\\\\.\\PhysicalDrive0"},
      {'B', {DevicePath::Kind::PhysicalDrive, PhysicalDrive(66), 0}, "\\\\.\\PhysicalDrive66"},
      {'C', {DevicePath::Kind::Volume, PhysicalDrive(0), 'C'}, "\\\\.\\C:"},
      {'Z', {DevicePath::Kind::Volume, PhysicalDrive(0), 'Z'}, "\\\\.\\Z:"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SelectDevicePath(c.selector), c.path) << int{c.selector};
    EXPECT_EQ(WindowsPathText(SelectDevicePath(c.selector)), c.windowsPath);
  }
}

}  // namespace
}  // namespace px
