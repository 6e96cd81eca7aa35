#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "device/physical_drive.h"

namespace px {

inline constexpr uint32_t kSectorSize = 512;

// An open disk or volume. Every device operation opens its disk, works and
// closes it again; nothing keeps a handle between operations.
using DeviceHandle = std::intptr_t;
inline constexpr DeviceHandle kInvalidHandle = -1;

// What a selector names: a physical drive by number or a volume by letter.
struct DevicePath {
  enum class Kind { PhysicalDrive, Volume };
  Kind kind = Kind::PhysicalDrive;
  PhysicalDrive drive{0};  // PhysicalDrive
  char letter = 0;         // Volume

  friend bool operator==(const DevicePath&, const DevicePath&) = default;
};

// Selectors at or below 'B' (0x42) are physical drive numbers, anything
// larger a drive letter; so 'B' itself is physical drive 66. Only device
// access (DeviceAccess) makes a selector of a PhysicalDrive.
DevicePath SelectDevicePath(int8_t selector);

// The Windows spelling of a path: \\.\PhysicalDrive2, \\.\C:
std::string WindowsPathText(const DevicePath& path);

enum class DataDirection : uint8_t { Out = 0, In = 1 };

// One SCSI command with its data. The data stays in the caller's buffer.
struct ScsiRequest {
  std::array<uint8_t, 16> cdb{};
  uint8_t cdbLength = 10;
  DataDirection direction = DataDirection::In;
  uint8_t* data = nullptr;
  uint32_t transferLength = 0;
  uint32_t timeoutSeconds = 2;
};

// How an open came out.
enum class OpenStatus : uint8_t {
  Opened,
  // Nothing has that number or letter, as the host was last looked at.
  Missing,
  // It exists, but this user may not open it.
  Denied,
  // The node no longer names the disk the host had there when it was last
  // looked at: it went, and another may have taken its name. Nothing is sent
  // to it until the host is looked at again.
  Changed,
  // Any other refusal of the system's.
  Failed,
};

struct OpenResult {
  DeviceHandle handle = kInvalidHandle;
  OpenStatus status = OpenStatus::Missing;
  // errno or GetLastError() of a refusal; 0 when nothing was refused.
  int32_t osError = 0;

  bool opened() const { return handle != kInvalidHandle; }
};

inline constexpr std::size_t kSenseBytes = 32;
inline constexpr uint8_t kScsiStatusGood = 0x00;
inline constexpr uint8_t kScsiStatusCheckCondition = 0x02;

// What became of one command, as the platform reported it. `completed` is
// the platform's word that the command reached the device and came back;
// the SCSI status and sense data are reported, not judged: a CHECK
// CONDITION has completed too, and the channel counts it a success.
struct CommandOutcome {
  bool completed = false;
  uint8_t scsiStatus = kScsiStatusGood;
  uint8_t senseLength = 0;
  std::array<uint8_t, kSenseBytes> sense{};
  // The host adapter's and the driver's own error codes where the platform
  // reports them (SG_IO's host_status and driver_status); 0 elsewhere.
  uint16_t hostStatus = 0;
  uint16_t driverStatus = 0;
  // errno or GetLastError() when the system refused the request itself.
  int32_t osError = 0;
};

// First extent of a volume on its physical disk.
struct DiskExtent {
  uint32_t diskNumber = 0;
  uint64_t startingOffset = 0;  // bytes
  uint64_t extentLength = 0;    // bytes

  friend bool operator==(const DiskExtent&, const DiskExtent&) = default;
};

// A disk an open was refused for lack of permission, and the group that owns
// its node, for advice the user can act on.
struct DeniedDisk {
  std::string node;  // e.g. "/dev/sdb"; empty when the node is not known
  std::string group;

  friend bool operator==(const DeniedDisk&, const DeniedDisk&) = default;
};

// Why this program claims a physical drive: for a few channel commands, or
// for firmware work, which other programs are told about when they are
// refused.
enum class ClaimPurpose : uint8_t { Commands, Firmware };

// A claim on a physical drive, from DriveClaims::TryClaimDrive.
using ClaimToken = std::intptr_t;
// Refused: another program holds the drive.
inline constexpr ClaimToken kClaimRefused = -1;

// Drive types as the volume list reports them.
inline constexpr uint8_t kDriveNoRootDir = 1;
inline constexpr uint8_t kDriveRemovable = 2;
inline constexpr uint8_t kDriveFixed = 3;

// The one point every byte exchanged with a device passes: open a disk or a
// volume, send one CDB, close. It is kept this narrow so that it can be
// recorded and replayed, and so that the command path costs nothing beyond
// the system call.
class DeviceIo {
 public:
  virtual ~DeviceIo() = default;
  // Opened for shared read/write, or the reason it was not.
  virtual OpenResult Open(const DevicePath& path) = 0;
  virtual void Close(DeviceHandle handle) = 0;
  virtual CommandOutcome Execute(DeviceHandle handle, const ScsiRequest& request) = 0;
};

// What the host has: its disks and volumes, their letters, types and
// extents. A back end may keep what it found and answer from it until
// Refresh: looking at the host costs far more than a command.
class HostInventory {
 public:
  virtual ~HostInventory() = default;
  // Looks at the host again. Discovery does this before every count of the
  // letters and drives and before every detection; physical drive numbers
  // stay put in between.
  virtual void Refresh() = 0;
  // Bit n set: drive letter 'A' + n exists.
  virtual uint32_t LogicalDriveMask() = 0;
  // kDriveFixed, kDriveRemovable, ... for the root of a drive letter;
  // kDriveNoRootDir for a letter that names nothing.
  virtual uint8_t DriveType(char letter) = 0;
  // Of a volume opened through DeviceIo. Fails for a volume that spans more
  // than one extent: such a volume has no single disk it lives on.
  virtual std::optional<DiskExtent> FirstExtent(DeviceHandle volume) = 0;
  // How the machine names physical drive n ("/dev/sdb"); empty where the
  // number is all there is.
  virtual std::string DriveNode(PhysicalDrive drive) = 0;
  // What names the enclosure at physical drive n whichever port it is
  // plugged into and whichever disks it holds: its USB bridge's serial
  // number, or where it is plugged in when the bridge has none. Empty where
  // the host cannot tell.
  virtual std::string BridgeId(PhysicalDrive drive) = 0;
  // The disk an open was last refused for lack of permission since the last
  // Refresh: a user who may not open the disks would otherwise only ever
  // see that there are none.
  virtual std::optional<DeniedDisk> RefusedDisk() = 0;
};

// Keeps the programs of this machine apart on a physical drive. Two programs
// knocking at one controller scramble each other's commands (an
// interleaved firmware write is a bricked enclosure), and nothing in the
// disk's path keeps them apart. Claims are neither device I/O (no byte
// reaches the device) nor a fact of the host's disks: they are agreements
// between processes, named after the physical drive as the inventory
// numbers it, which is why the back end that keeps the inventory grants
// them.
class DriveClaims {
 public:
  virtual ~DriveClaims() = default;
  // Claims physical drive `drive` without waiting: kClaimRefused while
  // another program holds it. A drive that does not exist is granted, as
  // there is nothing to keep apart. The claim is released by ReleaseDrive on
  // the thread that took it; one program never asks twice for the same drive
  // (the channel counts nested claims itself).
  virtual ClaimToken TryClaimDrive(PhysicalDrive drive, ClaimPurpose purpose) = 0;
  virtual void ReleaseDrive(ClaimToken token) = 0;
  // Whether the program that holds `drive` said it is doing firmware work,
  // so that a refusal can say why.
  virtual bool DriveClaimedForFirmware(PhysicalDrive drive) = 0;
};

// The platform seam: shaped after what the program does with a disk, not
// after any operating system. The SG_IO and Windows pass-through back ends,
// the virtual enclosure bus and the recorder and replayer all sit behind it.
class Transport : public DeviceIo, public HostInventory, public DriveClaims {};

// Passes every call on to another transport; wrappers that watch or change
// some calls override just those.
class ForwardingTransport : public Transport {
 public:
  explicit ForwardingTransport(Transport& inner) : inner_(inner) {}
  OpenResult Open(const DevicePath& path) override { return inner_.Open(path); }
  void Close(DeviceHandle handle) override { inner_.Close(handle); }
  CommandOutcome Execute(DeviceHandle handle, const ScsiRequest& request) override {
    return inner_.Execute(handle, request);
  }
  void Refresh() override { inner_.Refresh(); }
  uint32_t LogicalDriveMask() override { return inner_.LogicalDriveMask(); }
  uint8_t DriveType(char letter) override { return inner_.DriveType(letter); }
  std::optional<DiskExtent> FirstExtent(DeviceHandle volume) override {
    return inner_.FirstExtent(volume);
  }
  std::string DriveNode(PhysicalDrive drive) override { return inner_.DriveNode(drive); }
  std::string BridgeId(PhysicalDrive drive) override { return inner_.BridgeId(drive); }
  std::optional<DeniedDisk> RefusedDisk() override { return inner_.RefusedDisk(); }
  ClaimToken TryClaimDrive(PhysicalDrive drive, ClaimPurpose purpose) override {
    return inner_.TryClaimDrive(drive, purpose);
  }
  void ReleaseDrive(ClaimToken token) override { inner_.ReleaseDrive(token); }
  bool DriveClaimedForFirmware(PhysicalDrive drive) override {
    return inner_.DriveClaimedForFirmware(drive);
  }

 protected:
  Transport& inner() { return inner_; }

 private:
  Transport& inner_;
};

// The back end for this machine's real disks (SG_IO on Linux, SCSI
// pass-through on Windows).
std::unique_ptr<Transport> CreatePlatformTransport();

}  // namespace px
