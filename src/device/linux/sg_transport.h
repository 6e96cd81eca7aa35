#pragma once

#include <scsi/sg.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "device/linux/disk_inventory.h"
#include "device/linux/drive_claim.h"
#include "device/transport.h"

namespace px {

// One SG_IO request with the CDB and sense area it points at. Fill it in
// place and do not copy it afterwards: the header points into the object.
struct SgCommand {
  std::array<uint8_t, 16> cdb{};
  std::array<uint8_t, kSenseBytes> sense{};
  sg_io_hdr_t header{};
};

// Everything the kernel is told about one request: CDB, direction, the
// caller's buffer and length, time-out in milliseconds, sense area.
void FillSgCommand(const ScsiRequest& request, SgCommand& command);

// What the kernel's answer to a request says. It completed when the ioctl
// succeeded, the host adapter reported no error and the driver nothing but
// "sense data present": the SCSI status itself is the caller's business, so
// a CHECK CONDITION has completed, as it has with Windows' SCSI
// pass-through. `ioctlResult` is 0 or minus the errno.
CommandOutcome SgOutcome(int ioctlResult, const SgCommand& command);

// Sends one filled request: 0, or minus the errno. The real one is
// ioctl(SG_IO); a benchmark puts a stand-in here to measure what the
// program spends around it.
using SgIoctl = std::function<int(int fd, sg_io_hdr_t& header)>;

// The Linux back end: SG_IO on whole SCSI disks (/dev/sdX) and their
// partitions. Physical drive n is the n-th whole SCSI disk in kernel name
// order (see ScsiDisk); drive letters 'C', 'D', ... are the mounted
// partitions of those disks in mount-table order (see ListMountedVolumes).
//
// The disks and mounts are read from sysfs and the mount table when the
// transport is made and on every Refresh, and answered from that until the
// next one: reading them costs a few hundred allocations and a few hundred
// microseconds, a command one ioctl. Every open checks that the node still
// is the disk that was listed (see DiskIdentity), so a host that changed
// since can never make a command reach the wrong disk.
class SgTransport final : public Transport {
 public:
  explicit SgTransport(SystemRoots roots = {}, NodeOpener opener = nullptr,
                       SgIoctl ioctl = nullptr);
  ~SgTransport() override;
  SgTransport(const SgTransport&) = delete;
  SgTransport& operator=(const SgTransport&) = delete;

  // The disk or partition node, opened shared (no O_EXCL) and read-only.
  // udev watches disks for a close after writing and then reads them to
  // re-probe; those reads would land in the middle of the next knock. So
  // only a command that writes data gets a read/write descriptor, opened on
  // first use and closed with the handle.
  OpenResult Open(const DevicePath& path) override;
  void Close(DeviceHandle handle) override;
  // One ioctl(SG_IO) per request, never read()/write(): the page cache would
  // split or merge sectors, and a knock must reach the device as exactly the
  // READ(10)s it is made of. Allocates nothing.
  CommandOutcome Execute(DeviceHandle handle, const ScsiRequest& request) override;

  void Refresh() override;
  uint32_t LogicalDriveMask() override;
  uint8_t DriveType(char letter) override;
  // The extent listed for the volume when it was opened; none for a
  // physical drive, as Windows' volume extent query fails on a disk.
  std::optional<DiskExtent> FirstExtent(DeviceHandle volume) override;
  std::string DriveNode(PhysicalDrive drive) override;
  std::string BridgeId(PhysicalDrive drive) override;
  // The node of the last open refused with EACCES or EPERM, and the group
  // that owns it ("disk" when that cannot be told).
  std::optional<DeniedDisk> RefusedDisk() override;

  // flock() on the whole-disk node of the drive (see TryClaimNode).
  ClaimToken TryClaimDrive(PhysicalDrive drive, ClaimPurpose purpose) override;
  void ReleaseDrive(ClaimToken token) override;
  bool DriveClaimedForFirmware(PhysicalDrive drive) override;

 private:
  // An open handle; slots are reused, so opening allocates nothing once the
  // table has grown to the number of handles open at once.
  struct OpenNode {
    int fd = -1;       // read-only; the handle
    int writeFd = -1;  // opened by the first write
    // The look at the host the node comes from, kept while the handle is.
    std::shared_ptr<const HostSnapshot> host;
    const std::filesystem::path* node = nullptr;
    DiskIdentity identity;
    std::optional<DiskExtent> extent;  // volumes only
  };

  std::shared_ptr<const HostSnapshot> Snapshot() const;
  OpenResult OpenNodeOf(std::shared_ptr<const HostSnapshot> host, const std::filesystem::path& node,
                        const DiskIdentity& identity, std::optional<DiskExtent> extent);
  // Opens `node` with `flags` when it still is the disk `identity` names;
  // takes no lock, so it may run with or without it.
  OpenResult OpenChecked(const std::filesystem::path& node, const DiskIdentity& identity,
                         int flags);

  SystemRoots roots_;
  NodeOpener opener_;
  SgIoctl ioctl_;
  mutable std::mutex mutex_;
  std::shared_ptr<const HostSnapshot> host_;
  std::vector<OpenNode> handles_;
  std::optional<std::string> refusedNode_;
  // BridgeId's answers, by the disk's name, device and sequence numbers.
  std::map<std::tuple<std::string, uint64_t, uint64_t>, std::string> bridgeIds_;
};

}  // namespace px
