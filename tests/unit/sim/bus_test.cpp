// The virtual bus behind the Transport interface: opening, hot-plug, volumes,
// the trace and the bus-level faults.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "device/scsi_commands.h"
#include "raid/records.h"
#include "sim/virtual_bus.h"
#include "sim_helpers.h"

namespace px::sim {
namespace {

DevicePath Physical(unsigned n) {
  return {DevicePath::Kind::PhysicalDrive, PhysicalDrive(n), 0};
}
DevicePath Letter(char c) {
  return {DevicePath::Kind::Volume, PhysicalDrive(0), c};
}

bool Read(Transport& bus, DeviceHandle h, uint32_t lba, uint32_t count, uint8_t* out) {
  return bus.Execute(h, MakeRead10(lba, count, out)).completed;
}

TEST(VirtualBus, OpensPresentDrivesAndVolumesOnly) {
  VirtualBus bus;
  bus.AttachEnclosure(0);
  bus.AttachPlainDisk(3);
  bus.AddVolume({'E', kDriveRemovable, 0, 1048576, 1 << 30});
  bus.AddVolume({'Z', kDriveFixed, 3, 0, 0, false, /*openFails=*/true});
  bus.SetOpenFails(3, false);

  struct Case {
    DevicePath path;
    bool opens;
  } cases[] = {
      {Physical(0), true},  {Physical(1), false},  {Physical(3), true},
      {Physical(9), false}, {Physical(10), false}, {Physical(66), false},
      {Letter('E'), true},  {Letter('F'), false},  {Letter('Z'), false},
  };
  for (const auto& c : cases) {
    const DeviceHandle h = bus.Open(c.path).handle;
    EXPECT_EQ(h != kInvalidHandle, c.opens) << WindowsPathText(c.path);
    if (h != kInvalidHandle) bus.Close(h);
  }
  EXPECT_EQ(bus.OpenHandleCount(), 0u);

  bus.SetOpenFails(0, true);  // a permission fault: still attached, cannot be opened
  EXPECT_EQ(bus.Open(Physical(0)).handle, kInvalidHandle);
  EXPECT_NE(bus.EnclosureAt(0), nullptr);
  bus.SetOpenFails(0, false);
  const DeviceHandle h = bus.Open(Physical(0)).handle;
  EXPECT_NE(h, kInvalidHandle);
  bus.Close(h);
}

TEST(VirtualBus, DetachedDriveFailsCommandsOnOldHandlesEvenAfterReattach) {
  VirtualBus bus;
  bus.AttachPlainDisk(2);
  const DeviceHandle old = bus.Open(Physical(2)).handle;
  Sector s{};
  ASSERT_TRUE(Read(bus, old, 0, 1, s.data()));
  bus.Detach(2);
  EXPECT_FALSE(Read(bus, old, 0, 1, s.data()));
  EXPECT_EQ(bus.Open(Physical(2)).handle, kInvalidHandle);

  bus.AttachEnclosure(2);
  EXPECT_FALSE(Read(bus, old, 0, 1, s.data())) << "an old handle belongs to the old device";
  const DeviceHandle fresh = bus.Open(Physical(2)).handle;
  EXPECT_TRUE(Read(bus, fresh, 0, 1, s.data()));
  bus.Close(old);
  bus.Close(fresh);
  EXPECT_FALSE(Read(bus, fresh, 0, 1, s.data())) << "a closed handle";
}

TEST(VirtualBus, EveryHotPlugChangeFiresTheCallbackOutsideTheLock) {
  VirtualBus bus;
  int fired = 0;
  // The callback looks at the bus, as the window's handler would.
  bus.SetDeviceChangeCallback([&] {
    ++fired;
    (void)bus.LogicalDriveMask();
    (void)bus.DriveAt(0);
  });
  bus.AttachEnclosure(0);
  bus.AttachPlainDisk(1);
  bus.AddVolume({'D', kDriveFixed, 1, 0, 0});
  bus.RemoveVolume('D');
  bus.Detach(1);
  EXPECT_EQ(fired, 5);
  bus.Detach(1);          // nothing there: no change
  bus.RemoveVolume('Q');  // nor here
  EXPECT_FALSE(bus.Attach(10, std::make_shared<PlainDisk>()));
  EXPECT_EQ(fired, 5);
}

TEST(VirtualBus, VolumesGiveMaskTypesAndExtents) {
  VirtualBus bus;
  auto box = bus.AttachEnclosure(1);
  bus.AddVolume({'C', kDriveFixed, 0, 1048576, 500107862016ULL});
  bus.AddVolume({'E', kDriveRemovable, 1, 32256, 1000204886016ULL});
  bus.AddVolume({'G', kDriveFixed, 1, 0, 0, /*spansTwoDisks=*/true});
  EXPECT_EQ(bus.LogicalDriveMask(), (1u << 2) | (1u << 4) | (1u << 6));
  EXPECT_EQ(bus.DriveType('E'), kDriveRemovable);
  EXPECT_EQ(bus.DriveType('C'), kDriveFixed);
  EXPECT_EQ(bus.DriveType('X'), 1);

  const DeviceHandle e = bus.Open(Letter('E')).handle;
  const auto extent = bus.FirstExtent(e);
  ASSERT_TRUE(extent);
  EXPECT_EQ(extent->diskNumber, 1u);
  EXPECT_EQ(extent->startingOffset, 32256u);
  EXPECT_EQ(extent->extentLength, 1000204886016ULL);

  const DeviceHandle g = bus.Open(Letter('G')).handle;
  ASSERT_NE(g, kInvalidHandle);
  EXPECT_FALSE(bus.FirstExtent(g));
  const DeviceHandle disk = bus.Open(Physical(1)).handle;
  EXPECT_FALSE(bus.FirstExtent(disk)) << "a physical drive has no volume extents";

  // The volume's sector 0 is the disk's sector 63.
  Sector pattern{};
  pattern.fill(0x63);
  box->WriteDiskSector(63, pattern);
  Sector s{};
  ASSERT_TRUE(Read(bus, e, 0, 1, s.data()));
  EXPECT_EQ(s, pattern);
  const auto trace = bus.Trace();
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_EQ(trace[0].volume, 'E');
  EXPECT_EQ(trace[0].drive, 1u);
  EXPECT_EQ(trace[0].lba, 0u);
  for (DeviceHandle h : {e, g, disk}) bus.Close(h);
}

TEST(VirtualBus, ReadsWritesAndInquiryReachTheDriveAndAreTraced) {
  VirtualBus bus;
  auto plain = bus.AttachPlainDisk(4, {"ACME", "Spinning Rust", "9.99"});
  auto box = bus.AttachEnclosure(5);
  const DeviceHandle p = bus.Open(Physical(4)).handle;
  const DeviceHandle b = bus.Open(Physical(5)).handle;

  std::vector<uint8_t> out(3 * kSectorSize);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i / kSectorSize + 1);
  ASSERT_TRUE(bus.Execute(p, MakeWrite10(1000, 3, out.data())).completed);
  std::vector<uint8_t> in(3 * kSectorSize);
  ASSERT_TRUE(bus.Execute(p, MakeRead10(1000, 3, in.data())).completed);
  EXPECT_EQ(in, out);
  EXPECT_EQ(plain->ReadSector(1002)[0], 3);

  uint8_t inquiry[kInquiryLength] = {};
  ASSERT_TRUE(bus.Execute(p, MakeInquiry(inquiry)).completed);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry) + 8, 8), "ACME    ");
  ASSERT_TRUE(bus.Execute(b, MakeInquiry(inquiry)).completed);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry) + 16, 16), "SATA RAID Box   ");

  Sector s{};
  ASSERT_TRUE(Read(bus, b, 0x5FFF, 1, s.data()));
  ASSERT_TRUE(bus.Execute(b, MakeWrite10(20, 1, s.data())).completed);
  EXPECT_EQ(box->ControlWrites().size(), 1u);

  const std::vector<TraceEntry> expected = {
      {4, 0, 0x2A, 1000, 3, DataDirection::Out, true},
      {4, 0, 0x28, 1000, 3, DataDirection::In, true},
      {4, 0, 0x12, 0, 36, DataDirection::In, true},
      {5, 0, 0x12, 0, 36, DataDirection::In, true},
      {5, 0, 0x28, 0x5FFF, 1, DataDirection::In, true},
      {5, 0, 0x2A, 20, 1, DataDirection::Out, true},
  };
  EXPECT_EQ(bus.Trace(), expected);
  EXPECT_EQ(bus.ReadLbas(5), (std::vector<uint32_t>{0x5FFF}));
  EXPECT_EQ(bus.CommandCount(), 6u);
  bus.ClearTrace();
  EXPECT_TRUE(bus.Trace().empty());

  // A request whose buffer is too small for its count never reaches the disk.
  ScsiRequest bad = MakeRead10(0, 2, s.data());
  bad.transferLength = kSectorSize;
  EXPECT_FALSE(bus.Execute(p, bad).completed);
  // A command the disk does not know completes with CHECK CONDITION and
  // says why in its sense data: ILLEGAL REQUEST, invalid operation code.
  ScsiRequest unknown;
  unknown.cdb[0] = 0xA1;
  unknown.transferLength = 0;
  const CommandOutcome outcome = bus.Execute(p, unknown);
  EXPECT_TRUE(outcome.completed);
  EXPECT_EQ(outcome.scsiStatus, kScsiStatusCheckCondition);
  ASSERT_GE(outcome.senseLength, 13);
  EXPECT_EQ(outcome.sense[2] & 0x0F, 0x05);
  EXPECT_EQ(outcome.sense[12], 0x20);
  bus.Close(p);
  bus.Close(b);
}

TEST(VirtualBus, FailedReadsCommandLimitAndDisappearingDrive) {
  VirtualBus bus;
  bus.AttachPlainDisk(0);
  bus.AttachPlainDisk(1);
  const DeviceHandle d0 = bus.Open(Physical(0)).handle;
  const DeviceHandle d1 = bus.Open(Physical(1)).handle;
  std::vector<uint8_t> buf(4 * kSectorSize);

  bus.FailReadsAt(17, 0u);
  EXPECT_FALSE(Read(bus, d0, 17, 1, buf.data()));
  EXPECT_FALSE(Read(bus, d0, 15, 4, buf.data())) << "a read that covers the LBA";
  EXPECT_TRUE(Read(bus, d0, 18, 1, buf.data()));
  EXPECT_TRUE(Read(bus, d1, 17, 1, buf.data())) << "another drive";
  EXPECT_TRUE(bus.Execute(d0, MakeWrite10(17, 1, buf.data())).completed) << "writes are not reads";
  EXPECT_FALSE(bus.Trace()[0].ok);
  bus.ClearReadFailures();
  EXPECT_TRUE(Read(bus, d0, 17, 1, buf.data()));

  bus.FailCommandsAfter(2);
  EXPECT_TRUE(Read(bus, d0, 0, 1, buf.data()));
  EXPECT_TRUE(Read(bus, d1, 0, 1, buf.data()));
  EXPECT_FALSE(Read(bus, d0, 0, 1, buf.data()));
  EXPECT_FALSE(Read(bus, d1, 0, 1, buf.data()));
  bus.ClearCommandFailure();
  EXPECT_TRUE(Read(bus, d0, 0, 1, buf.data()));

  int changes = 0;
  bus.SetDeviceChangeCallback([&] { ++changes; });
  bus.DetachAfterCommands(1, 3);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(Read(bus, d1, 0, 1, buf.data())) << i;
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(bus.DriveAt(1), nullptr);
  EXPECT_FALSE(Read(bus, d1, 0, 1, buf.data()));
  EXPECT_TRUE(Read(bus, d0, 0, 1, buf.data()));
  bus.Close(d0);
  bus.Close(d1);
}

TEST(VirtualBus, ReadLatencyIsChargedToTheFakeClockPerRead) {
  FakeClock clock;
  VirtualBus bus(&clock);
  auto box = bus.AttachEnclosure(0);
  const DeviceHandle h = bus.Open(Physical(0)).handle;
  bus.SetReadLatencyMicros(500);
  box->UpdateFaults([](ControllerFaults& f) { f.readLatencyMicros = 250; });
  Sector s{};
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(Read(bus, h, 0, 1, s.data()));
  EXPECT_EQ(clock.TickMs(), 3u);  // 4 x 750 us
  ASSERT_TRUE(bus.Execute(h, MakeWrite10(0, 1, s.data())).completed);
  EXPECT_EQ(clock.TickMs(), 3u) << "writes cost nothing";
  EXPECT_EQ(clock.SleptMs(), 0u) << "latency is not a sleep of the host";
  bus.Close(h);
}

// Two threads knock on two enclosures through the bus while a third rewrites
// scenarios and faults and plugs a disk in and out; every knock is answered.
TEST(VirtualBus, KnocksFromTwoThreadsWhileAThirdHotPlugs) {
  FakeClock clock;
  VirtualBus bus(&clock);
  auto box0 = bus.AttachEnclosure(0);
  auto box1 = bus.AttachEnclosure(1);
  std::atomic<int> changes{0};
  bus.SetDeviceChangeCallback([&] { ++changes; });
  std::atomic<bool> stop{false};
  std::atomic<int> unanswered{0};

  auto knocker = [&](unsigned drive) {
    const DeviceHandle h = bus.Open(Physical(drive)).handle;
    const auto knock = test::KnockReads(ControllerQuery(kQueryStatus));
    Sector s{};
    for (int i = 0; i < 100; ++i) {
      for (uint32_t lba : knock) {
        (void)Read(bus, h, lba, 1, s.data());
      }
      (void)Read(bus, h, kSeparatorLba, 1, s.data());
      if (!Read(bus, h, kReplyLba, 1, s.data()) || !test::IsReply(s)) ++unanswered;
    }
    bus.Close(h);
  };
  std::thread meddler([&] {
    uint8_t mode = 0;
    // At least one round, however quickly the knockers finish.
    do {
      box0->UpdateScenario([&](ControllerScenario& sc) { sc.modeByte = mode; });
      box1->UpdateFaults([&](ControllerFaults& f) { f.readLatencyMicros = mode; });
      (void)box1->Commands();
      bus.AttachPlainDisk(7);
      bus.AddVolume({'E', kDriveFixed, 7, 0, 0});
      (void)bus.Trace();
      bus.RemoveVolume('E');
      bus.Detach(7);
      mode = static_cast<uint8_t>((mode + 1) % 4);
      std::this_thread::yield();
    } while (!stop);
  });
  std::thread t0(knocker, 0u), t1(knocker, 1u);
  t0.join();
  t1.join();
  stop = true;
  meddler.join();
  EXPECT_EQ(unanswered.load(), 0);
  EXPECT_GT(changes.load(), 0);
  EXPECT_EQ(box0->Commands().size(), 100u);
}

}  // namespace
}  // namespace px::sim
