#include "device/linux/sg_transport.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "device/scsi_commands.h"
#include "fake_host.h"

namespace px {
namespace {

TEST(FillSgCommand, CarriesCdbDirectionBufferLengthAndTimeoutOfTheThreeCommands) {
  std::array<uint8_t, 512> buffer{};
  struct Case {
    const char* what;
    ScsiRequest request;
    std::vector<uint8_t> cdb;
    int direction;
    unsigned length;
    unsigned timeoutMs;
  } cases[] = {
      {"READ(10) LBA 0x5FFF",
       MakeRead10(0x5FFF, 1, buffer.data()),
       {0x28, 0, 0, 0, 0x5F, 0xFF, 0, 0, 1, 0},
       SG_DXFER_FROM_DEV,
       512,
       2000},
      {"WRITE(10) LBA 20",
       MakeWrite10(20, 1, buffer.data()),
       {0x2A, 0, 0, 0, 0, 0x14, 0, 0, 1, 0},
       SG_DXFER_TO_DEV,
       512,
       2000},
      {"INQUIRY",
       MakeInquiry(buffer.data()),
       {0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0},
       SG_DXFER_FROM_DEV,
       36,
       200000},
  };
  for (const auto& c : cases) {
    SgCommand command;
    command.sense.fill(0xEE);
    FillSgCommand(c.request, command);
    const sg_io_hdr_t& h = command.header;
    EXPECT_EQ(h.interface_id, 'S') << c.what;
    EXPECT_EQ(h.dxfer_direction, c.direction) << c.what;
    EXPECT_EQ(h.cmd_len, 10) << c.what;
    ASSERT_EQ(h.cmdp, command.cdb.data()) << c.what;
    EXPECT_EQ(std::vector<uint8_t>(h.cmdp, h.cmdp + h.cmd_len), c.cdb) << c.what;
    EXPECT_EQ(h.dxferp, buffer.data()) << c.what;
    EXPECT_EQ(h.dxfer_len, c.length) << c.what;
    EXPECT_EQ(h.timeout, c.timeoutMs) << c.what;
    EXPECT_EQ(h.sbp, command.sense.data()) << c.what;
    EXPECT_EQ(h.mx_sb_len, kSgSenseBytes) << c.what;
    EXPECT_EQ(command.sense[0], 0) << c.what << ": sense area cleared before use";
    EXPECT_EQ(h.iovec_count, 0) << c.what << ": one plain buffer, never scattered";
  }
}

TEST(SgCompleted, CheckConditionIsSuccessTransportErrorsAreNot) {
  struct Case {
    const char* what;
    int ioctlResult;
    unsigned char status;
    unsigned short host, driver;
    bool completed;
  } cases[] = {
      {"good", 0, 0x00, 0, 0x00, true},
      {"CHECK CONDITION with sense", 0, 0x02, 0, 0x08, true},
      {"BUSY from the device", 0, 0x08, 0, 0x00, true},
      {"ioctl refused", -1, 0x00, 0, 0x00, false},
      {"no connect", 0, 0x00, 0x01, 0x00, false},
      {"host time-out", 0, 0x00, 0x03, 0x00, false},
      {"driver time-out", 0, 0x00, 0, 0x06, false},
      {"driver error with sense", 0, 0x02, 0, 0x08 | 0x04, false},
  };
  for (const auto& c : cases) {
    sg_io_hdr_t h{};
    h.status = c.status;
    h.host_status = c.host;
    h.driver_status = c.driver;
    EXPECT_EQ(SgCompleted(c.ioctlResult, h), c.completed) << c.what;
  }
}

// Records what the transport asked to open and answers with a chosen error,
// or opens the node for real.
struct OpenLog {
  std::vector<std::string> nodes;
  std::vector<int> flags;
  int error = 0;
  NodeOpener opener() {
    return [this](const char* node, int f) {
      nodes.push_back(node);
      flags.push_back(f);
      if (error != 0) return -error;
      const int fd = ::open(node, f);
      return fd >= 0 ? fd : -errno;
    };
  }
};

TEST(SgTransport, PhysicalDriveNumberOpensTheNthDiskSharedReadOnly) {
  test::FakeHost host;
  for (const char* name : {"sdaa", "sda", "sdz", "sdb"}) host.AddDisk(name);
  OpenLog log;
  SgTransport transport(host.roots(), log.opener());
  const DeviceHandle h = transport.Open({DevicePath::Kind::PhysicalDrive, 3, 0});
  ASSERT_NE(h, kInvalidHandle);
  transport.Close(h);
  ASSERT_EQ(log.nodes.size(), 1u);
  EXPECT_EQ(log.nodes[0], (host.dev() / "sdaa").string());
  EXPECT_EQ(log.flags[0] & O_ACCMODE, O_RDONLY) << "a write-close would make udev re-probe";
  EXPECT_EQ(log.flags[0] & O_EXCL, 0) << "other programs keep their access to the disk";

  EXPECT_EQ(transport.Open({DevicePath::Kind::PhysicalDrive, 4, 0}), kInvalidHandle);
  EXPECT_EQ(log.nodes.size(), 1u) << "no node for drive 4, nothing opened";
}

TEST(SgTransport, VolumesGiveMaskTypesAndTheExtentOfTheOpenedPartition) {
  test::FakeHost host;
  host.AddDisk("sda", false);
  host.AddDisk("sdb", true);
  host.AddPartition("sda", "sda1", 2048, 1000);
  host.AddPartition("sdb", "sdb1", 63, 100);
  host.Mount("/dev/sda1", "/");
  host.Mount("/dev/sdb1", "/media/stick");
  SgTransport transport(host.roots());

  EXPECT_EQ(transport.LogicalDriveMask(), (1u << 2) | (1u << 3));
  EXPECT_EQ(transport.DriveType('C'), kDriveFixed);
  EXPECT_EQ(transport.DriveType('D'), kDriveRemovable);
  EXPECT_EQ(transport.DriveType('E'), 1) << "no such root";

  const DeviceHandle volume = transport.Open({DevicePath::Kind::Volume, 0, 'D'});
  ASSERT_NE(volume, kInvalidHandle);
  const auto extent = transport.FirstExtent(volume);
  ASSERT_TRUE(extent.has_value());
  EXPECT_EQ(extent->diskNumber, 1u);
  EXPECT_EQ(extent->startingOffset, 63u * 512);
  EXPECT_EQ(extent->extentLength, 100u * 512);
  transport.Close(volume);
  EXPECT_FALSE(transport.FirstExtent(volume).has_value()) << "closed";

  const DeviceHandle disk = transport.Open({DevicePath::Kind::PhysicalDrive, 0, 0});
  ASSERT_NE(disk, kInvalidHandle);
  EXPECT_FALSE(transport.FirstExtent(disk).has_value()) << "a disk is not a volume";
  transport.Close(disk);

  EXPECT_EQ(transport.Open({DevicePath::Kind::Volume, 0, 'E'}), kInvalidHandle);
}

// Reads and INQUIRY go through the read-only descriptor; the first command
// that writes data opens the node read/write once, for the rest of the
// handle's life.
TEST(SgTransport, OnlyWritesOpenTheNodeReadWrite) {
  test::FakeHost host;
  host.AddDisk("sda");
  OpenLog log;
  SgTransport transport(host.roots(), log.opener());
  const DeviceHandle h = transport.Open({DevicePath::Kind::PhysicalDrive, 0, 0});
  ASSERT_NE(h, kInvalidHandle);
  std::array<uint8_t, 512> buffer{};
  (void)transport.Execute(h, MakeRead10(17, 1, buffer.data()));
  (void)transport.Execute(h, MakeInquiry(buffer.data()));
  ASSERT_EQ(log.flags.size(), 1u);
  (void)transport.Execute(h, MakeWrite10(20, 1, buffer.data()));
  (void)transport.Execute(h, MakeWrite10(20, 1, buffer.data()));
  ASSERT_EQ(log.flags.size(), 2u) << "one read/write open for all writes of the handle";
  EXPECT_EQ(log.flags[1] & O_ACCMODE, O_RDWR);
  EXPECT_EQ(log.nodes[1], log.nodes[0]);
  transport.Close(h);

  log.error = EACCES;
  const DeviceHandle denied = transport.Open({DevicePath::Kind::PhysicalDrive, 0, 0});
  EXPECT_EQ(denied, kInvalidHandle);
  EXPECT_TRUE(transport.PermissionDenied());
}

TEST(SgTransport, ExecuteOnAFileThatIsNoScsiDeviceFailsCleanly) {
  test::FakeHost host;
  host.AddDisk("sda");
  SgTransport transport(host.roots());
  const DeviceHandle h = transport.Open({DevicePath::Kind::PhysicalDrive, 0, 0});
  ASSERT_NE(h, kInvalidHandle);
  std::array<uint8_t, 512> buffer{};
  buffer.fill(0x5A);
  EXPECT_FALSE(transport.Execute(h, MakeRead10(17, 1, buffer.data())));
  EXPECT_FALSE(transport.Execute(h, MakeWrite10(20, 1, buffer.data())));
  EXPECT_FALSE(transport.Execute(h, MakeInquiry(buffer.data())));
  EXPECT_EQ(buffer[0], 0x5A) << "nothing read into the buffer";
  transport.Close(h);

  EXPECT_FALSE(transport.Execute(h, MakeRead10(17, 1, buffer.data()))) << "closed handle";
  EXPECT_FALSE(transport.Execute(kInvalidHandle, MakeRead10(17, 1, buffer.data())));
  EXPECT_FALSE(transport.Execute(0, MakeRead10(17, 1, buffer.data()))) << "not ours: stdin";
  transport.Close(h);  // twice: harmless
}

TEST(SgTransport, RemembersPermissionRefusalsButNotMissingNodes) {
  test::FakeHost host;
  host.AddDisk("sda");
  host.AddDisk("sdb");
  OpenLog log;
  SgTransport transport(host.roots(), log.opener());

  log.error = ENOENT;
  EXPECT_EQ(transport.Open({DevicePath::Kind::PhysicalDrive, 0, 0}), kInvalidHandle);
  EXPECT_FALSE(transport.PermissionDenied());

  for (int error : {EACCES, EPERM}) {
    transport.ClearPermissionDenied();
    EXPECT_FALSE(transport.PermissionDenied());
    log.error = error;
    EXPECT_EQ(transport.Open({DevicePath::Kind::PhysicalDrive, 1, 0}), kInvalidHandle);
    EXPECT_TRUE(transport.PermissionDenied()) << error;
    EXPECT_EQ(transport.DeniedNode(), (host.dev() / "sdb").string());
  }

  log.error = 0;
  const DeviceHandle h = transport.Open({DevicePath::Kind::PhysicalDrive, 0, 0});
  EXPECT_NE(h, kInvalidHandle);
  EXPECT_TRUE(transport.PermissionDenied()) << "stays set until the window has told the user";
  transport.Close(h);
  transport.ClearPermissionDenied();
  EXPECT_EQ(transport.DeniedNode(), "");
}

TEST(CreatePlatformTransport, IsTheSgTransport) {
  const auto transport = CreatePlatformTransport();
  EXPECT_NE(dynamic_cast<SgTransport*>(transport.get()), nullptr);
}

}  // namespace
}  // namespace px
