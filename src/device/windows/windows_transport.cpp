#include "device/windows/windows_transport.h"

#include <cstring>
#include <string>

#include "device/scsi_commands.h"
#include "device/windows/pass_through.h"

namespace px {
namespace {

HANDLE ToSystem(DeviceHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// Global\ reaches every session; a process without the right to create
// global objects falls back to its own session's namespace.
std::wstring ClaimName(PhysicalDrive drive, const wchar_t* suffix, bool global) {
  return std::wstring(global ? L"Global\\" : L"") + L"PxRaidDrive" +
         std::to_wstring(drive.number()) + suffix;
}

HANDLE CreateClaimMutex(PhysicalDrive drive) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, ClaimName(drive, L"", true).c_str());
  if (mutex == nullptr && GetLastError() == ERROR_ACCESS_DENIED) {
    mutex = CreateMutexW(nullptr, FALSE, ClaimName(drive, L"", false).c_str());
  }
  return mutex;
}

}  // namespace

OpenResult WindowsTransport::Open(const DevicePath& path) {
  const std::string text = WindowsPathText(path);
  const HANDLE handle =
      CreateFileA(text.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  static_assert(sizeof(HANDLE) == sizeof(DeviceHandle));
  // INVALID_HANDLE_VALUE has every bit set, which is kInvalidHandle.
  if (handle != INVALID_HANDLE_VALUE) {
    return {reinterpret_cast<DeviceHandle>(handle), OpenStatus::Opened, 0};
  }
  const DWORD error = GetLastError();
  OpenStatus status = OpenStatus::Failed;
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) status = OpenStatus::Missing;
  if (error == ERROR_ACCESS_DENIED) status = OpenStatus::Denied;
  return {kInvalidHandle, status, static_cast<int32_t>(error)};
}

void WindowsTransport::Close(DeviceHandle handle) {
  if (handle != kInvalidHandle) CloseHandle(ToSystem(handle));
}

CommandOutcome WindowsTransport::Execute(DeviceHandle handle, const ScsiRequest& request) {
  if (handle == kInvalidHandle) {
    CommandOutcome invalid;
    invalid.osError = ERROR_INVALID_HANDLE;
    return invalid;
  }
  PassThroughBlock block = FillPassThroughBlock(request);
  DWORD returned = 0;
  // Wine passes no SCSI request through to a disk, so under Wine this always
  // fails: the block filling and the reading of its answer are tested there,
  // the request itself needs real Windows and a disk.
  const BOOL ok = DeviceIoControl(ToSystem(handle), IOCTL_SCSI_PASS_THROUGH_DIRECT, &block,
                                  sizeof block, &block, sizeof block, &returned, nullptr);
  return PassThroughOutcome(ok, ok ? ERROR_SUCCESS : GetLastError(), block);
}

uint32_t WindowsTransport::LogicalDriveMask() {
  return GetLogicalDrives();
}

uint8_t WindowsTransport::DriveType(char letter) {
  const char root[] = {letter, ':', '\\', '\0'};
  return static_cast<uint8_t>(GetDriveTypeA(root));
}

std::optional<DiskExtent> WindowsTransport::FirstExtent(DeviceHandle volume) {
  if (volume == kInvalidHandle) return std::nullopt;
  // Room for exactly one extent: a volume on two disks answers "more data"
  // and counts as a failure.
  VOLUME_DISK_EXTENTS extents;
  static_assert(sizeof extents == 32);
  std::memset(&extents, 0, sizeof extents);
  DWORD returned = 0;
  if (!DeviceIoControl(ToSystem(volume), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, &extents,
                       sizeof extents, &returned, nullptr)) {
    return std::nullopt;
  }
  const DISK_EXTENT& first = extents.Extents[0];
  return DiskExtent{static_cast<uint32_t>(first.DiskNumber),
                    static_cast<uint64_t>(first.StartingOffset.QuadPart),
                    static_cast<uint64_t>(first.ExtentLength.QuadPart)};
}

ClaimToken WindowsTransport::TryClaimDrive(PhysicalDrive drive, ClaimPurpose purpose) {
  HANDLE mutex = CreateClaimMutex(drive);
  if (mutex == nullptr) return kClaimRefused;
  const DWORD waited = WaitForSingleObject(mutex, 0);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(mutex);
    return kClaimRefused;
  }
  const auto token = reinterpret_cast<ClaimToken>(mutex);
  if (purpose == ClaimPurpose::Firmware) {
    HANDLE mark = CreateEventW(nullptr, TRUE, FALSE, ClaimName(drive, L"Firmware", true).c_str());
    if (mark == nullptr) {
      mark = CreateEventW(nullptr, TRUE, FALSE, ClaimName(drive, L"Firmware", false).c_str());
    }
    if (mark != nullptr) {
      const std::lock_guard lock(claimsMutex_);
      firmwareMarks_[token] = mark;
    }
  }
  return token;
}

void WindowsTransport::ReleaseDrive(ClaimToken token) {
  if (token == kClaimRefused) return;
  {
    const std::lock_guard lock(claimsMutex_);
    if (const auto it = firmwareMarks_.find(token); it != firmwareMarks_.end()) {
      CloseHandle(it->second);
      firmwareMarks_.erase(it);
    }
  }
  HANDLE mutex = reinterpret_cast<HANDLE>(token);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

bool WindowsTransport::DriveClaimedForFirmware(PhysicalDrive drive) {
  for (const bool global : {true, false}) {
    if (HANDLE mark =
            OpenEventW(SYNCHRONIZE, FALSE, ClaimName(drive, L"Firmware", global).c_str())) {
      CloseHandle(mark);
      return true;
    }
  }
  return false;
}

std::unique_ptr<Transport> CreatePlatformTransport() {
  return std::make_unique<WindowsTransport>();
}

}  // namespace px
