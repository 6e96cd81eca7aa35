#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "device/transport.h"

namespace px {

// Where the host's disk facts come from. Tests point these at a fake tree in a
// temporary directory; the real transport uses the defaults.
struct SystemRoots {
  std::filesystem::path sys = "/sys";
  std::filesystem::path dev = "/dev";
  std::filesystem::path mounts = "/proc/self/mounts";
};

// What tells a disk from another one that later takes its name and device
// number: the kernel hands out the first free name and minor number, so a
// disk plugged in after another was pulled often gets both. The disk
// sequence number (kernels 5.15 and later) is never handed out twice while
// the system runs.
struct DiskIdentity {
  uint64_t device = 0;    // dev_t of the node
  uint64_t sequence = 0;  // diskseq; 0 where the kernel has none

  friend bool operator==(const DiskIdentity&, const DiskIdentity&) = default;
};

// An opened node is the disk the host listed: the same device number, and
// the same sequence number where both sides know one.
bool SameDisk(const DiskIdentity& listed, const DiskIdentity& opened);

// What an open descriptor is: fstat's device number and BLKGETDISKSEQ.
DiskIdentity IdentityOf(int fd);

// A whole SCSI disk, /dev/sdX. The program's physical drive n is the n-th of
// these in kernel name order: sda..sdz, then sdaa, sdab, ... (shorter names
// first, then by name). The kernel hands out the first free name, so like
// Windows' PhysicalDrive numbers this follows arrival and stays put while no
// disk is unplugged.
struct ScsiDisk {
  std::string name;            // "sda"
  std::filesystem::path node;  // <dev>/sda
  bool removable = false;      // sysfs "removable"
  uint64_t sizeBytes = 0;      // sysfs "size" x 512
  DiskIdentity identity;       // sysfs "dev" and "diskseq"
};

// A mounted partition of one of those disks: what the program calls a volume
// with a drive letter.
struct MountedVolume {
  char letter = 0;             // 'C', 'D', ... in mount-table order
  std::string name;            // "sda1" (or "sdb" for a disk formatted whole)
  std::filesystem::path node;  // <dev>/sda1
  uint8_t driveType = kDriveFixed;
  DiskExtent extent;      // disk number, byte offset, byte length
  DiskIdentity identity;  // the partition's "dev", its disk's "diskseq"
};

// The host's disks and volumes as one look at it found them.
struct HostSnapshot {
  std::vector<ScsiDisk> disks;
  std::vector<MountedVolume> volumes;
};
HostSnapshot LookAtHost(const SystemRoots& roots);

// True for names of whole SCSI disks: "sd" followed by letters only.
bool IsScsiDiskName(const std::string& name);

// Kernel name order: shorter first, then alphabetical (sdz before sdaa).
bool KernelNameLess(const std::string& a, const std::string& b);

// What names the USB bridge a disk sits behind whichever port it is plugged
// into: "usb-VVVV-PPPP-SERIAL" from the bridge's vendor, product and serial
// number, or "usb-port-2-1.3", where it is plugged in, for a bridge without a
// serial number. Only letters, digits, '.', '-' and '_' are kept (the serial
// is the device's own bytes); others become '_'. Empty for a disk that is on
// no USB device. `diskDir` is the disk's folder under <sys>/block.
std::string BridgeIdOf(const SystemRoots& roots, const std::filesystem::path& diskDir);

// The whole SCSI disks under <sys>/block, in physical drive order.
std::vector<ScsiDisk> ListScsiDisks(const SystemRoots& roots);

// The mounted partitions of `disks`, lettered 'C'..'Z' in the order of their
// first line in the mount table. Anything mounted from elsewhere (device
// mapper, md, loop, NVMe, network, pseudo file systems) is not a partition of
// an sd disk and is left out, so a volume spanning disks never appears. A disk
// mounted whole, without a partition table, is a volume at offset 0.
std::vector<MountedVolume> ListMountedVolumes(const SystemRoots& roots,
                                              const std::vector<ScsiDisk>& disks);

// The device field of a mount-table line with its octal escapes (\040 for a
// space and so on) decoded.
std::string DecodeMountField(const std::string& field);

}  // namespace px
