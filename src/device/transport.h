#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

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
  unsigned number = 0;  // PhysicalDrive
  char letter = 0;      // Volume

  friend bool operator==(const DevicePath&, const DevicePath&) = default;
};

// Selectors at or below 'B' (0x42) are physical drive numbers, anything
// larger a drive letter; so 'B' itself is physical drive 66.
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

// First extent of a volume on its physical disk.
struct DiskExtent {
  uint32_t diskNumber = 0;
  uint64_t startingOffset = 0;  // bytes
  uint64_t extentLength = 0;    // bytes
};

// Why this program claims a physical drive: for a few channel commands, or
// for firmware work, which other programs are told about when they are
// refused.
enum class ClaimPurpose : uint8_t { Commands, Firmware };

// A claim on a physical drive, from Transport::TryClaimDrive.
using ClaimToken = std::intptr_t;
// Refused: another program holds the drive.
inline constexpr ClaimToken kClaimRefused = -1;

// Drive types as the volume list reports them.
inline constexpr uint8_t kDriveRemovable = 2;
inline constexpr uint8_t kDriveFixed = 3;

// The platform seam: shaped after what the program does with a disk, not
// after any operating system. The SG_IO and Windows pass-through back ends and
// the virtual enclosure bus all sit behind it.
class Transport {
 public:
  virtual ~Transport() = default;
  // kInvalidHandle when the path cannot be opened for shared read/write.
  virtual DeviceHandle Open(const DevicePath& path) = 0;
  virtual void Close(DeviceHandle handle) = 0;
  // True exactly when the command reached the device and came back; SCSI
  // status and sense data are not judged here (CHECK CONDITION is success).
  virtual bool Execute(DeviceHandle handle, const ScsiRequest& request) = 0;
  // Bit n set: drive letter 'A' + n exists.
  virtual uint32_t LogicalDriveMask() = 0;
  // kDriveFixed, kDriveRemovable, ... for the root of a drive letter.
  virtual uint8_t DriveType(char letter) = 0;
  // Fails for a volume that spans more than one extent, as the one-extent
  // query of the original platform does.
  virtual std::optional<DiskExtent> FirstExtent(DeviceHandle volume) = 0;

  // Claims physical drive `drive` against every other program on this
  // machine, without waiting: kClaimRefused while another one holds it. Two
  // programs knocking at one controller scramble each other's commands (an
  // interleaved firmware write is a bricked enclosure), and nothing in the
  // disk's path keeps them apart. A drive that does not exist is granted,
  // as there is nothing to keep apart. The claim is released by
  // ReleaseDrive on the thread that took it; one program never asks twice
  // for the same drive (the channel counts nested claims itself).
  virtual ClaimToken TryClaimDrive(unsigned drive, ClaimPurpose purpose) = 0;
  virtual void ReleaseDrive(ClaimToken token) = 0;
  // Whether the program that holds `drive` said it is doing firmware work,
  // so that a refusal can say why.
  virtual bool DriveClaimedForFirmware(unsigned drive) = 0;
};

// Passes every call on to another transport; wrappers that watch or change
// some calls override just those.
class ForwardingTransport : public Transport {
 public:
  explicit ForwardingTransport(Transport& inner) : inner_(inner) {}
  DeviceHandle Open(const DevicePath& path) override { return inner_.Open(path); }
  void Close(DeviceHandle handle) override { inner_.Close(handle); }
  bool Execute(DeviceHandle handle, const ScsiRequest& request) override {
    return inner_.Execute(handle, request);
  }
  uint32_t LogicalDriveMask() override { return inner_.LogicalDriveMask(); }
  uint8_t DriveType(char letter) override { return inner_.DriveType(letter); }
  std::optional<DiskExtent> FirstExtent(DeviceHandle volume) override {
    return inner_.FirstExtent(volume);
  }
  ClaimToken TryClaimDrive(unsigned drive, ClaimPurpose purpose) override {
    return inner_.TryClaimDrive(drive, purpose);
  }
  void ReleaseDrive(ClaimToken token) override { inner_.ReleaseDrive(token); }
  bool DriveClaimedForFirmware(unsigned drive) override {
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
