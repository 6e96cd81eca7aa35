#pragma once

#include <map>
#include <mutex>

#include "device/transport.h"

namespace px {

// The Windows back end: CreateFileA on \\.\PhysicalDriveN and \\.\X:, SCSI
// pass-through for the commands, the volume manager for extents. Handles are
// the system's file handles; kInvalidHandle is INVALID_HANDLE_VALUE.
class WindowsTransport final : public Transport {
 public:
  // Shared read/write, OPEN_EXISTING, no flags.
  OpenResult Open(const DevicePath& path) override;
  void Close(DeviceHandle handle) override;
  // IOCTL_SCSI_PASS_THROUGH_DIRECT with the block of FillPassThroughBlock.
  CommandOutcome Execute(DeviceHandle handle, const ScsiRequest& request) override;
  // The system answers every question below afresh and cheaply: nothing is
  // kept, so there is nothing to refresh.
  void Refresh() override {}
  // GetLogicalDrives.
  uint32_t LogicalDriveMask() override;
  // GetDriveTypeA of the root, e.g. "C:\".
  uint8_t DriveType(char letter) override;
  // IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS with room for one extent, so a
  // volume spanning two disks fails.
  std::optional<DiskExtent> FirstExtent(DeviceHandle volume) override;
  // The number is all a user sees of a physical drive.
  std::string DriveNode(PhysicalDrive /*drive*/) override { return {}; }
  // Not looked up on Windows yet: its enclosures are told apart by drive.
  std::string BridgeId(PhysicalDrive /*drive*/) override { return {}; }
  // An administrator may open every disk and anyone else none, so a refusal
  // names no disk in particular; the front ends say so themselves.
  std::optional<DeniedDisk> RefusedDisk() override { return std::nullopt; }
  // A named mutex per physical drive in the Global\ namespace, so programs
  // of every session see it; the system hands an abandoned one to the next
  // waiter when its holder dies. Firmware work also keeps a named event of
  // the drive in existence, which a refused program can open to tell why.
  ClaimToken TryClaimDrive(PhysicalDrive drive, ClaimPurpose purpose) override;
  void ReleaseDrive(ClaimToken token) override;
  bool DriveClaimedForFirmware(PhysicalDrive drive) override;

 private:
  std::mutex claimsMutex_;
  // The firmware marks of held claims, by token.
  std::map<ClaimToken, void*> firmwareMarks_;
};

}  // namespace px
