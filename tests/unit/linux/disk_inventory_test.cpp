#include "device/linux/disk_inventory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "fake_host.h"

namespace px {
namespace {

std::vector<std::string> NamesOf(const std::vector<ScsiDisk>& disks) {
  std::vector<std::string> names;
  for (const auto& d : disks) names.push_back(d.name);
  return names;
}

TEST(ListScsiDisks, NumbersWholeScsiDisksInKernelNameOrderAndIgnoresTheRest) {
  test::FakeHost host;
  // Created out of order; sysfs lists in no particular order either.
  for (const char* name : {"sdaa", "sdb", "nvme0n1", "sda", "loop0", "sdz", "dm-0", "sr0", "sdab",
                           "mmcblk0", "md127"}) {
    host.AddDisk(name);
  }
  const auto disks = ListScsiDisks(host.roots());
  EXPECT_EQ(NamesOf(disks), (std::vector<std::string>{"sda", "sdb", "sdz", "sdaa", "sdab"}));
  EXPECT_EQ(disks[3].node, host.dev() / "sdaa");
}

TEST(ListScsiDisks, ReadsRemovableFlagAndSizeInBytes) {
  test::FakeHost host;
  host.AddDisk("sda", false, 2048);
  host.AddDisk("sdb", true, 7);
  const auto disks = ListScsiDisks(host.roots());
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_FALSE(disks[0].removable);
  EXPECT_EQ(disks[0].sizeBytes, 2048u * 512);
  EXPECT_TRUE(disks[1].removable);
  EXPECT_EQ(disks[1].sizeBytes, 7u * 512);
}

TEST(ListScsiDisks, NoSysfsMeansNoDisks) {
  SystemRoots roots{"/nonexistent-px/sys", "/nonexistent-px/dev", "/nonexistent-px/mounts"};
  EXPECT_TRUE(ListScsiDisks(roots).empty());
  EXPECT_TRUE(ListMountedVolumes(roots, {}).empty());
}

TEST(ListMountedVolumes, LettersPartitionsOfScsiDisksInMountOrder) {
  test::FakeHost host;
  host.AddDisk("sda", false);
  host.AddDisk("sdb", true);
  host.AddDisk("nvme0n1");
  host.AddPartition("sda", "sda1", 2048, 1000);
  host.AddPartition("sda", "sda2", 4096, 2000);
  host.AddPartition("sdb", "sdb1", 63, 100);
  host.AddPartition("nvme0n1", "nvme0n1p1", 2048, 500);
  host.AddDevLink("mapper/vg-root", "../dm-0");
  host.AddDevLink("disk/by-uuid/0a1b", "../../sda1");

  host.Mount("proc", "/proc", "proc");
  host.Mount("/dev/sda2", "/");
  host.Mount("/dev/nvme0n1p1", "/boot");
  host.Mount("/dev/mapper/vg-root", "/home");  // device mapper: may span disks
  host.Mount("/dev/sdb1", "/media/stick", "vfat");
  host.Mount("/dev/sda2", "/srv/bind");  // the same partition again
  host.Mount("/dev/disk/by-uuid/0a1b", "/data");
  host.Mount("/dev/sda9", "/gone");  // no such partition in sysfs
  host.Mount("tmpfs", "/tmp", "tmpfs");

  const auto volumes = ListMountedVolumes(host.roots(), ListScsiDisks(host.roots()));
  struct Expected {
    char letter;
    std::string name;
    uint8_t type;
    uint32_t disk;
    uint64_t start, length;
  } expected[] = {
      {'C', "sda2", kDriveFixed, 0, 4096u * 512, 2000u * 512},
      {'D', "sdb1", kDriveRemovable, 1, 63u * 512, 100u * 512},
      {'E', "sda1", kDriveFixed, 0, 2048u * 512, 1000u * 512},
  };
  ASSERT_EQ(volumes.size(), std::size(expected));
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    const auto& v = volumes[i];
    const auto& e = expected[i];
    EXPECT_EQ(v.letter, e.letter) << i;
    EXPECT_EQ(v.name, e.name) << i;
    EXPECT_EQ(v.node, host.dev() / e.name) << i;
    EXPECT_EQ(v.driveType, e.type) << i;
    EXPECT_EQ(v.extent.diskNumber, e.disk) << i;
    EXPECT_EQ(v.extent.startingOffset, e.start) << i;
    EXPECT_EQ(v.extent.extentLength, e.length) << i;
  }
}

TEST(ListMountedVolumes, DiskFormattedWholeIsAVolumeAtOffsetZero) {
  test::FakeHost host;
  host.AddDisk("sda");
  host.AddDisk("sdb", true, 4000);
  host.Mount("/dev/sdb", "/media/card", "vfat");
  const auto volumes = ListMountedVolumes(host.roots(), ListScsiDisks(host.roots()));
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_EQ(volumes[0].letter, 'C');
  EXPECT_EQ(volumes[0].extent.diskNumber, 1u);
  EXPECT_EQ(volumes[0].extent.startingOffset, 0u);
  EXPECT_EQ(volumes[0].extent.extentLength, 4000u * 512);
  EXPECT_EQ(volumes[0].driveType, kDriveRemovable);
}

TEST(ListMountedVolumes, StopsAtDriveZ) {
  test::FakeHost host;
  host.AddDisk("sda");
  for (int i = 1; i <= 30; ++i) {
    const std::string name = "sda" + std::to_string(i);
    host.AddPartition("sda", name, 2048u * static_cast<unsigned>(i), 1000);
    host.Mount("/dev/" + name, "/mnt/" + name);
  }
  const auto volumes = ListMountedVolumes(host.roots(), ListScsiDisks(host.roots()));
  ASSERT_EQ(volumes.size(), 24u);
  EXPECT_EQ(volumes.front().letter, 'C');
  EXPECT_EQ(volumes.back().letter, 'Z');
  EXPECT_EQ(volumes.back().name, "sda24");
}

TEST(DecodeMountField, DecodesOctalEscapesOnly) {
  EXPECT_EQ(DecodeMountField("/dev/disk/by-label/My\\040Disk"), "/dev/disk/by-label/My Disk");
  EXPECT_EQ(DecodeMountField("a\\134b\\011c"), "a\\b\tc");
  EXPECT_EQ(DecodeMountField("trail\\04"), "trail\\04");
  EXPECT_EQ(DecodeMountField("\\9x1"), "\\9x1");
}

TEST(ListMountedVolumes, FollowsEscapedLinkNames) {
  test::FakeHost host;
  host.AddDisk("sda");
  host.AddPartition("sda", "sda1", 2048, 1000);
  host.AddDevLink("disk/by-label/My Disk", "../../sda1");
  host.Mount("/dev/disk/by-label/My\\040Disk", "/media/My\\040Disk");
  const auto volumes = ListMountedVolumes(host.roots(), ListScsiDisks(host.roots()));
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_EQ(volumes[0].name, "sda1");
}

namespace fs = std::filesystem;

// The id a disk's bridge is known by, from a sysfs tree laid out as the
// kernel lays out a USB disk: the SCSI device under the USB interface under
// the USB device, which has the vendor, product and serial number.
TEST(BridgeIdOf, NamesTheUsbDeviceAboveTheDisk) {
  struct Case {
    const char* what;
    std::optional<std::string> serial;  // nothing: the disk is on no USB device
    std::string id;
  } cases[] = {
      {"a bridge with a serial number", "00000000000000000015",
       "usb-152d-0567-00000000000000000015"},
      {"one without", "", "usb-port-2-1.3"},
      {"one whose serial is blank", "   ", "usb-port-2-1.3"},
      {"one whose serial is hostile bytes", "../x y\n\x1b[0m", "usb-152d-0567-.._x_y"},
      {"a disk on no USB device", std::nullopt, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::FakeHost host;
    host.AddDisk("sdb");
    const fs::path sys = host.roots().sys;
    const fs::path usb = sys / "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1.3";
    const fs::path scsi = usb / "2-1.3:1.0/host6/target6:0:0/6:0:0:0";
    fs::create_directories(scsi);
    if (c.serial) {
      std::ofstream(usb / "idVendor") << "152d\n";
      std::ofstream(usb / "idProduct") << "0567\n";
      std::ofstream(usb / "serial") << *c.serial << "\n";
    }
    fs::create_directory_symlink(scsi, sys / "block/sdb/device");
    EXPECT_EQ(BridgeIdOf(host.roots(), sys / "block/sdb"), c.id);
  }
}

}  // namespace
}  // namespace px
