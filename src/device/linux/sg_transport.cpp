#include "device/linux/sg_transport.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>

namespace px {
namespace {

// The driver_status bit that only says sense data came back.
constexpr unsigned kDriverSense = 0x08;
// What GetDriveType answers for a letter that names nothing.
constexpr uint8_t kDriveNoRootDir = 1;

int OpenWithSystem(const char* node, int flags) {
  const int fd = ::open(node, flags);
  return fd >= 0 ? fd : -errno;
}

}  // namespace

void FillSgCommand(const ScsiRequest& request, SgCommand& command) {
  command.cdb = request.cdb;
  command.sense.fill(0);
  sg_io_hdr_t& h = command.header;
  h = sg_io_hdr_t{};
  h.interface_id = 'S';
  if (request.transferLength == 0) {
    h.dxfer_direction = SG_DXFER_NONE;
  } else {
    h.dxfer_direction =
        request.direction == DataDirection::In ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
  }
  h.cmd_len = request.cdbLength;
  h.mx_sb_len = static_cast<unsigned char>(command.sense.size());
  h.dxfer_len = request.transferLength;
  h.dxferp = request.data;
  h.cmdp = command.cdb.data();
  h.sbp = command.sense.data();
  constexpr uint32_t kMaxSeconds = std::numeric_limits<unsigned int>::max() / 1000;
  h.timeout = (request.timeoutSeconds > kMaxSeconds ? kMaxSeconds : request.timeoutSeconds) * 1000;
}

bool SgCompleted(int ioctlResult, const sg_io_hdr_t& header) {
  if (ioctlResult != 0) return false;
  if (header.host_status != 0) return false;
  return (header.driver_status & ~kDriverSense) == 0;
}

SgTransport::SgTransport(SystemRoots roots, NodeOpener opener)
    : roots_(std::move(roots)), opener_(opener ? std::move(opener) : NodeOpener(OpenWithSystem)) {}

SgTransport::~SgTransport() {
  for (const auto& [fd, state] : handles_) {
    ::close(static_cast<int>(fd));
    if (state.writeFd >= 0) ::close(state.writeFd);
  }
}

DeviceHandle SgTransport::Open(const DevicePath& path) {
  const std::vector<ScsiDisk> disks = ListScsiDisks(roots_);
  if (path.kind == DevicePath::Kind::PhysicalDrive) {
    if (path.number >= disks.size()) return kInvalidHandle;
    return OpenNode(disks[path.number].node, std::nullopt);
  }
  for (const MountedVolume& volume : ListMountedVolumes(roots_, disks)) {
    if (volume.letter == path.letter) return OpenNode(volume.node, volume.extent);
  }
  return kInvalidHandle;
}

DeviceHandle SgTransport::OpenNode(const std::filesystem::path& node,
                                   std::optional<DiskExtent> extent) {
  // O_NONBLOCK lets a card reader without a card open, as its physical drive
  // does on Windows; SG_IO itself is not affected by it.
  const int fd = opener_(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (fd == -EACCES || fd == -EPERM) {
      std::lock_guard lock(mutex_);
      deniedNode_ = node.string();
      permissionDenied_ = true;
    }
    return kInvalidHandle;
  }
  std::lock_guard lock(mutex_);
  handles_[fd] = {node, extent, -1};
  return fd;
}

void SgTransport::Close(DeviceHandle handle) {
  std::lock_guard lock(mutex_);
  // Only descriptors this transport opened are closed; a stale or foreign
  // value must not close someone else's file.
  const auto it = handles_.find(handle);
  if (it == handles_.end()) return;
  if (it->second.writeFd >= 0) ::close(it->second.writeFd);
  ::close(static_cast<int>(handle));
  handles_.erase(it);
}

bool SgTransport::Execute(DeviceHandle handle, const ScsiRequest& request) {
  int fd = static_cast<int>(handle);
  {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return false;
    if (request.direction == DataDirection::Out && request.transferLength != 0) {
      OpenNodeState& state = it->second;
      if (state.writeFd < 0) {
        const int writeFd = opener_(state.node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (writeFd < 0) {
          if (writeFd == -EACCES || writeFd == -EPERM) {
            deniedNode_ = state.node.string();
            permissionDenied_ = true;
          }
          return false;
        }
        state.writeFd = writeFd;
      }
      fd = state.writeFd;
    }
  }
  SgCommand command;
  FillSgCommand(request, command);
  const int result = ::ioctl(fd, SG_IO, &command.header);
  return SgCompleted(result, command.header);
}

uint32_t SgTransport::LogicalDriveMask() {
  uint32_t mask = 0;
  for (const MountedVolume& volume : ListMountedVolumes(roots_, ListScsiDisks(roots_))) {
    mask |= 1u << (volume.letter - 'A');
  }
  return mask;
}

uint8_t SgTransport::DriveType(char letter) {
  for (const MountedVolume& volume : ListMountedVolumes(roots_, ListScsiDisks(roots_))) {
    if (volume.letter == letter) return volume.driveType;
  }
  return kDriveNoRootDir;
}

std::optional<DiskExtent> SgTransport::FirstExtent(DeviceHandle volume) {
  std::lock_guard lock(mutex_);
  const auto it = handles_.find(volume);
  if (it == handles_.end()) return std::nullopt;
  return it->second.extent;
}

ClaimToken SgTransport::TryClaimDrive(unsigned drive, ClaimPurpose purpose) {
  const std::vector<ScsiDisk> disks = ListScsiDisks(roots_);
  if (drive >= disks.size()) return kClaimEmpty;
  return TryClaimNode(disks[drive].node, purpose, opener_);
}

void SgTransport::ReleaseDrive(ClaimToken token) {
  ReleaseNodeClaim(token);
}

bool SgTransport::DriveClaimedForFirmware(unsigned drive) {
  const std::vector<ScsiDisk> disks = ListScsiDisks(roots_);
  return drive < disks.size() && NodeClaimedForFirmware(disks[drive].node, opener_);
}

std::string SgTransport::DeniedNode() const {
  std::lock_guard lock(mutex_);
  return deniedNode_;
}

void SgTransport::ClearPermissionDenied() {
  std::lock_guard lock(mutex_);
  permissionDenied_ = false;
  deniedNode_.clear();
}

std::optional<DeniedDisk> FindDeniedDisk(const Transport& transport) {
  const auto* sg = dynamic_cast<const SgTransport*>(&transport);
  if (sg == nullptr || !sg->PermissionDenied()) return std::nullopt;
  DeniedDisk denied{sg->DeniedNode(), "disk"};
  struct stat info {};
  if (!denied.node.empty() && ::stat(denied.node.c_str(), &info) == 0) {
    if (const struct group* owner = ::getgrgid(info.st_gid)) denied.group = owner->gr_name;
  }
  return denied;
}

std::unique_ptr<Transport> CreatePlatformTransport() {
  return std::make_unique<SgTransport>();
}

}  // namespace px
