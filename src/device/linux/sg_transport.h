#pragma once

#include <scsi/sg.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "device/linux/disk_inventory.h"
#include "device/linux/drive_claim.h"
#include "device/transport.h"

namespace px {

inline constexpr std::size_t kSgSenseBytes = 32;

// One SG_IO request with the CDB and sense area it points at. Fill it in
// place and do not copy it afterwards: the header points into the object.
struct SgCommand {
  std::array<uint8_t, 16> cdb{};
  std::array<uint8_t, kSgSenseBytes> sense{};
  sg_io_hdr_t header{};
};

// Everything the kernel is told about one request: CDB, direction, the
// caller's buffer and length, time-out in milliseconds, sense area.
void FillSgCommand(const ScsiRequest& request, SgCommand& command);

// Whether a request the kernel took came back from the device: the ioctl
// succeeded, the host adapter reported no error and the driver nothing but
// "sense data present". The SCSI status itself is the caller's business, so
// CHECK CONDITION counts as completed, as it does with Windows' SCSI
// pass-through.
bool SgCompleted(int ioctlResult, const sg_io_hdr_t& header);

// The Linux back end: SG_IO on whole SCSI disks (/dev/sdX) and their
// partitions. Physical drive n is the n-th whole SCSI disk in kernel name
// order (see ScsiDisk); drive letters 'C', 'D', ... are the mounted
// partitions of those disks in mount-table order (see ListMountedVolumes).
// Disks and mounts are read afresh on every Open, LogicalDriveMask and
// DriveType, since disks come and go while the program runs.
// A disk the last Open was refused for lack of permission, and the group
// that owns its node ("disk" when that cannot be told), for advice the user
// can act on.
struct DeniedDisk {
  std::string node;  // e.g. "/dev/sdb"; empty when the node is not known
  std::string group;
};

// The refused disk of a Linux transport; nothing for any other transport or
// when nothing was refused.
std::optional<DeniedDisk> FindDeniedDisk(const Transport& transport);

class SgTransport final : public Transport {
 public:
  explicit SgTransport(SystemRoots roots = {}, NodeOpener opener = nullptr);
  ~SgTransport() override;
  SgTransport(const SgTransport&) = delete;
  SgTransport& operator=(const SgTransport&) = delete;

  // The disk or partition node, opened shared (no O_EXCL) and read-only.
  // udev watches disks for a close after writing and then reads them to
  // re-probe; those reads would land in the middle of the next knock. So
  // only a command that writes data gets a read/write descriptor, opened on
  // first use and closed with the handle.
  DeviceHandle Open(const DevicePath& path) override;
  void Close(DeviceHandle handle) override;
  // One ioctl(SG_IO) per request, never read()/write(): the page cache would
  // split or merge sectors, and a knock must reach the device as exactly the
  // READ(10)s it is made of.
  bool Execute(DeviceHandle handle, const ScsiRequest& request) override;
  uint32_t LogicalDriveMask() override;
  uint8_t DriveType(char letter) override;
  // The extent recorded when the volume was opened; none for a physical
  // drive, as Windows' volume extent query fails on a disk.
  std::optional<DiskExtent> FirstExtent(DeviceHandle volume) override;
  // flock() on the whole-disk node of the drive (see TryClaimNode).
  ClaimToken TryClaimDrive(unsigned drive, ClaimPurpose purpose) override;
  void ReleaseDrive(ClaimToken token) override;
  bool DriveClaimedForFirmware(unsigned drive) override;

  // True once an Open found its disk or partition but was refused for lack
  // of permission (EACCES or EPERM): the user is not root and not in the
  // disk group, and every enclosure will look absent. Stays set until
  // ClearPermissionDenied, so the window can tell the user after a detection.
  bool PermissionDenied() const { return permissionDenied_.load(); }
  // The node of the last refused Open, e.g. "/dev/sdb"; empty when none.
  std::string DeniedNode() const;
  void ClearPermissionDenied();

 private:
  DeviceHandle OpenNode(const std::filesystem::path& node, std::optional<DiskExtent> extent);

  SystemRoots roots_;
  NodeOpener opener_;
  mutable std::mutex mutex_;
  struct OpenNodeState {
    std::filesystem::path node;
    std::optional<DiskExtent> extent;  // volumes only
    int writeFd = -1;                  // opened by the first write
  };
  // Open handles (read-only file descriptors).
  std::map<DeviceHandle, OpenNodeState> handles_;
  std::atomic<bool> permissionDenied_{false};
  std::string deniedNode_;
};

}  // namespace px
