#include "device/linux/sg_transport.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "device/linux/disk_inventory.h"
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
    EXPECT_EQ(h.mx_sb_len, kSenseBytes) << c.what;
    EXPECT_EQ(command.sense[0], 0) << c.what << ": sense area cleared before use";
    EXPECT_EQ(h.iovec_count, 0) << c.what << ": one plain buffer, never scattered";
  }
}

// The kernel's answer as the result reports it: CHECK CONDITION completes
// with its sense bytes, errors of the adapter or the driver do not, and a
// refused ioctl carries its errno.
TEST(SgOutcome, ReportsStatusSenseAndErrorsAndCompletesOnCheckCondition) {
  const std::vector<uint8_t> sense = {0x70, 0, 0x05, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x20, 0};
  struct Case {
    const char* what;
    int ioctlResult;
    unsigned char status;
    unsigned short host, driver;
    unsigned char senseWritten;
    bool completed;
    int osError;
  } cases[] = {
      {"good", 0, 0x00, 0, 0x00, 0, true, 0},
      {"CHECK CONDITION with sense", 0, 0x02, 0, 0x08, 14, true, 0},
      {"BUSY from the device", 0, 0x08, 0, 0x00, 0, true, 0},
      {"ioctl refused", -ENOTTY, 0x00, 0, 0x00, 0, false, ENOTTY},
      {"no connect", 0, 0x00, 0x01, 0x00, 0, false, 0},
      {"host time-out", 0, 0x00, 0x03, 0x00, 0, false, 0},
      {"driver time-out", 0, 0x00, 0, 0x06, 0, false, 0},
      {"driver error with sense", 0, 0x02, 0, 0x08 | 0x04, 14, false, 0},
  };
  for (const auto& c : cases) {
    SgCommand command;
    std::copy(sense.begin(), sense.end(), command.sense.begin());
    command.header.status = c.status;
    command.header.host_status = c.host;
    command.header.driver_status = c.driver;
    command.header.sb_len_wr = c.senseWritten;
    const CommandOutcome outcome = SgOutcome(c.ioctlResult, command);
    EXPECT_EQ(outcome.completed, c.completed) << c.what;
    EXPECT_EQ(outcome.osError, c.osError) << c.what;
    if (c.ioctlResult != 0) continue;
    EXPECT_EQ(outcome.scsiStatus, c.status) << c.what;
    EXPECT_EQ(outcome.hostStatus, c.host) << c.what;
    EXPECT_EQ(outcome.driverStatus, c.driver) << c.what;
    EXPECT_EQ(
        std::vector<uint8_t>(outcome.sense.begin(), outcome.sense.begin() + outcome.senseLength),
        std::vector<uint8_t>(sense.begin(), sense.begin() + c.senseWritten))
        << c.what;
  }
}

// Records what the transport asked to open and answers with a chosen error,
// or opens the node for real.
struct OpenLog {
  std::vector<std::string> nodes;
  std::vector<int> flags;
  int error = 0;
  int errorForWrites = 0;
  NodeOpener opener() {
    return [this](const char* node, int f) {
      nodes.push_back(node);
      flags.push_back(f);
      if (error != 0) return -error;
      if (errorForWrites != 0 && (f & O_ACCMODE) == O_RDWR) return -errorForWrites;
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
  const OpenResult h = transport.Open({DevicePath::Kind::PhysicalDrive, PhysicalDrive(3), 0});
  ASSERT_TRUE(h.opened());
  EXPECT_EQ(h.status, OpenStatus::Opened);
  transport.Close(h.handle);
  ASSERT_EQ(log.nodes.size(), 1u);
  EXPECT_EQ(log.nodes[0], (host.dev() / "sdaa").string());
  EXPECT_EQ(log.flags[0] & O_ACCMODE, O_RDONLY) << "a write-close would make udev re-probe";
  EXPECT_EQ(log.flags[0] & O_EXCL, 0) << "other programs keep their access to the disk";

  EXPECT_EQ(transport.Open({DevicePath::Kind::PhysicalDrive, PhysicalDrive(4), 0}).status,
            OpenStatus::Missing);
  EXPECT_EQ(log.nodes.size(), 1u) << "no node for drive 4, nothing opened";
  EXPECT_EQ(transport.DriveNode(PhysicalDrive(3)), (host.dev() / "sdaa").string());
  EXPECT_EQ(transport.DriveNode(PhysicalDrive(4)), "");
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

  const DeviceHandle volume =
      transport.Open({DevicePath::Kind::Volume, PhysicalDrive(0), 'D'}).handle;
  ASSERT_NE(volume, kInvalidHandle);
  const auto extent = transport.FirstExtent(volume);
  ASSERT_TRUE(extent.has_value());
  EXPECT_EQ(extent->diskNumber, 1u);
  EXPECT_EQ(extent->startingOffset, 63u * 512);
  EXPECT_EQ(extent->extentLength, 100u * 512);
  transport.Close(volume);
  EXPECT_FALSE(transport.FirstExtent(volume).has_value()) << "closed";

  const DeviceHandle disk =
      transport.Open({DevicePath::Kind::PhysicalDrive, PhysicalDrive(0), 0}).handle;
  ASSERT_NE(disk, kInvalidHandle);
  EXPECT_FALSE(transport.FirstExtent(disk).has_value()) << "a disk is not a volume";
  transport.Close(disk);

  EXPECT_EQ(transport.Open({DevicePath::Kind::Volume, PhysicalDrive(0), 'E'}).handle,
            kInvalidHandle);
}

// Reads and INQUIRY go through the read-only descriptor; the first command
// that writes data opens the node read/write once, for the rest of the
// handle's life.
TEST(SgTransport, OnlyWritesOpenTheNodeReadWrite) {
  test::FakeHost host;
  host.AddDisk("sda");
  OpenLog log;
  SgTransport transport(host.roots(), log.opener());
  const DeviceHandle h =
      transport.Open({DevicePath::Kind::PhysicalDrive, PhysicalDrive(0), 0}).handle;
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

  // Allowed to read, not to write: the write says why, and the disk is named.
  log.error = 0;
  log.errorForWrites = EACCES;
  const DeviceHandle readOnly =
      transport.Open({DevicePath::Kind::PhysicalDrive, PhysicalDrive(0), 0}).handle;
  ASSERT_NE(readOnly, kInvalidHandle);
  const CommandOutcome refused = transport.Execute(readOnly, MakeWrite10(20, 1, buffer.data()));
  EXPECT_FALSE(refused.completed);
  EXPECT_EQ(refused.osError, EACCES);
  ASSERT_TRUE(transport.RefusedDisk().has_value());
  EXPECT_EQ(transport.RefusedDisk()->node, (host.dev() / "sda").string());
  transport.Close(readOnly);
}

TEST(SgTransport, ExecuteOnAFileThatIsNoScsiDeviceFailsWithTheSystemsError) {
  test::FakeHost host;
  host.AddDisk("sda");
  SgTransport transport(host.roots());
  const DeviceHandle h =
      transport.Open({DevicePath::Kind::PhysicalDrive, PhysicalDrive(0), 0}).handle;
  ASSERT_NE(h, kInvalidHandle);
  std::array<uint8_t, 512> buffer{};
  buffer.fill(0x5A);
  for (const ScsiRequest& request :
       {MakeRead10(17, 1, buffer.data()), MakeWrite10(20, 1, buffer.data()),
        MakeInquiry(buffer.data())}) {
    const CommandOutcome outcome = transport.Execute(h, request);
    EXPECT_FALSE(outcome.completed);
    EXPECT_EQ(outcome.osError, ENOTTY) << "the kernel's word: no such ioctl on a plain file";
  }
  EXPECT_EQ(buffer[0], 0x5A) << "nothing read into the buffer";
  transport.Close(h);

  EXPECT_EQ(transport.Execute(h, MakeRead10(17, 1, buffer.data())).osError, EBADF)
      << "closed handle";
  EXPECT_FALSE(transport.Execute(kInvalidHandle, MakeRead10(17, 1, buffer.data())).completed);
  EXPECT_FALSE(transport.Execute(0, MakeRead10(17, 1, buffer.data())).completed)
      << "not ours: stdin";
  transport.Close(h);  // twice: harmless
}

// What the sg driver answers reaches the caller whole, and the channel's
// rule holds on top of it: a read that came back with CHECK CONDITION
// succeeded, one the adapter lost did not.
TEST(SgTransport, TheKernelsAnswerReachesTheCallerAndCheckConditionIsARead) {
  test::FakeHost host;
  host.AddDisk("sda");
  struct Case {
    const char* what;
    unsigned char status;
    unsigned short host;
    bool read;
  } cases[] = {{"CHECK CONDITION", 0x02, 0, true}, {"adapter lost it", 0x00, 0x01, false}};
  for (const auto& c : cases) {
    SgTransport transport(host.roots(), nullptr, [&c](int, sg_io_hdr_t& header) {
      header.status = c.status;
      header.host_status = c.host;
      header.driver_status = 0x08;
      header.sb_len_wr = 3;
      header.sbp[0] = 0x70;
      header.sbp[2] = 0x05;
      return 0;
    });
    const DeviceHandle h =
        transport.Open({DevicePath::Kind::PhysicalDrive, PhysicalDrive(0), 0}).handle;
    ASSERT_NE(h, kInvalidHandle);
    std::array<uint8_t, 512> buffer{};
    const CommandOutcome outcome = transport.Execute(h, MakeRead10(17, 1, buffer.data()));
    EXPECT_EQ(outcome.scsiStatus, c.status) << c.what;
    EXPECT_EQ(outcome.hostStatus, c.host) << c.what;
    EXPECT_EQ(outcome.senseLength, 3) << c.what;
    EXPECT_EQ(outcome.sense[2], 0x05) << c.what;

    struct Panels final : StatusPanels {
      std::string message;
      void SetText(int, std::string_view text) override { message = text; }
    } panels;
    DeviceAccess access(transport, panels);
    EXPECT_EQ(access.ReadSectors(h, 17, buffer.data(), 1), c.read) << c.what;
    EXPECT_EQ(panels.message, c.read ? "" : "ReadLBA error at LBA = 0011, SecCnt = 1") << c.what;
    transport.Close(h);
  }
}

// Why an open failed, as the result says it; a refusal for lack of
// permission is also kept for the advice until the host is looked at again.
TEST(SgTransport, OpenResultsSayWhyAndPermissionRefusalsAreKept) {
  test::FakeHost host;
  host.AddDisk("sda");
  struct Case {
    int error;
    OpenStatus status;
    bool kept;
  } cases[] = {
      {ENOENT, OpenStatus::Missing, false}, {ENXIO, OpenStatus::Missing, false},
      {EACCES, OpenStatus::Denied, true},   {EPERM, OpenStatus::Denied, true},
      {EIO, OpenStatus::Failed, false},
  };
  for (const auto& c : cases) {
    OpenLog log;
    SgTransport transport(host.roots(), log.opener());
    log.error = c.error;
    const OpenResult result =
        transport.Open({DevicePath::Kind::PhysicalDrive, PhysicalDrive(0), 0});
    EXPECT_EQ(result.handle, kInvalidHandle) << c.error;
    EXPECT_EQ(result.status, c.status) << c.error;
    EXPECT_EQ(result.osError, c.error);
    EXPECT_EQ(transport.RefusedDisk().has_value(), c.kept) << c.error;
    if (!c.kept) continue;
    EXPECT_EQ(transport.RefusedDisk()->node, (host.dev() / "sda").string());
    log.error = 0;
    const DeviceHandle h =
        transport.Open({DevicePath::Kind::PhysicalDrive, PhysicalDrive(0), 0}).handle;
    EXPECT_NE(h, kInvalidHandle);
    transport.Close(h);
    EXPECT_TRUE(transport.RefusedDisk().has_value()) << "kept until the advice has been given";
    transport.Refresh();
    EXPECT_FALSE(transport.RefusedDisk().has_value()) << "a new look starts afresh";
  }
}

// The host is looked at when the transport is made and on Refresh, never per
// open: disks that came or went in between change nothing until then, and
// a node that another disk took over in between is refused, not opened.
TEST(SgTransport, TheHostIsLookedAtOnRefreshAndANodeThatChangedIsNotOpened) {
  test::FakeHost host;
  host.AddDisk("sda");
  host.AddDisk("sdb");
  host.SetDeviceNode("sdb", "1:3", "/dev/null");
  SgTransport transport(host.roots());
  const auto open = [&](unsigned drive) {
    const OpenResult result =
        transport.Open({DevicePath::Kind::PhysicalDrive, PhysicalDrive(drive), 0});
    if (result.opened()) transport.Close(result.handle);
    return result.status;
  };
  EXPECT_EQ(open(1), OpenStatus::Opened) << "the node is the device sysfs lists";

  host.AddDisk("sdc");
  EXPECT_EQ(open(2), OpenStatus::Missing) << "not looked at yet";
  host.ReplaceNode("sdb", "/dev/zero");
  EXPECT_EQ(open(1), OpenStatus::Changed) << "another device behind the listed name";
  EXPECT_EQ(transport.DriveNode(PhysicalDrive(1)), (host.dev() / "sdb").string());

  host.SetDeviceNode("sdb", "1:5", "/dev/zero");
  transport.Refresh();
  EXPECT_EQ(open(1), OpenStatus::Opened);
  EXPECT_EQ(open(2), OpenStatus::Opened);
  host.RemoveDisk("sda");
  transport.Refresh();
  EXPECT_EQ(open(2), OpenStatus::Missing) << "the drives are numbered again";
  EXPECT_EQ(transport.DriveNode(PhysicalDrive(0)), (host.dev() / "sdb").string());
}

TEST(SameDisk, NeedsTheDeviceNumberAndTheSequenceWhereBothAreKnown) {
  struct Case {
    DiskIdentity listed, opened;
    bool same;
  } cases[] = {
      {{0x810, 7}, {0x810, 7}, true},  {{0x810, 7}, {0x820, 7}, false},
      {{0x810, 7}, {0x810, 9}, false},  // pulled and plugged: same name, same number
      {{0x810, 0}, {0x810, 9}, true},   // a kernel without sequence numbers
      {{0x810, 7}, {0x810, 0}, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SameDisk(c.listed, c.opened), c.same)
        << c.listed.device << "/" << c.listed.sequence << " " << c.opened.device << "/"
        << c.opened.sequence;
  }
}

TEST(CreatePlatformTransport, IsTheSgTransport) {
  const auto transport = CreatePlatformTransport();
  EXPECT_NE(dynamic_cast<SgTransport*>(transport.get()), nullptr);
}

}  // namespace
}  // namespace px
