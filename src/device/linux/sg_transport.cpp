#include "device/linux/sg_transport.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <tuple>
#include <utility>

namespace px {
namespace {

// The driver_status bit that only says sense data came back.
constexpr unsigned kDriverSense = 0x08;
// O_NONBLOCK lets a card reader without a card open, as its physical drive
// does on Windows; SG_IO itself is not affected by it.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
constexpr int kWriteFlags = O_RDWR | O_NONBLOCK | O_CLOEXEC;

int OpenWithSystem(const char* node, int flags) {
  const int fd = ::open(node, flags);
  return fd >= 0 ? fd : -errno;
}

int IoctlWithSystem(int fd, sg_io_hdr_t& header) {
  return ::ioctl(fd, SG_IO, &header) == 0 ? 0 : -errno;
}

OpenStatus StatusOfError(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return OpenStatus::Denied;
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return OpenStatus::Missing;
    default:
      return OpenStatus::Failed;
  }
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

CommandOutcome SgOutcome(int ioctlResult, const SgCommand& command) {
  CommandOutcome outcome;
  if (ioctlResult != 0) {
    outcome.osError = -ioctlResult;
    return outcome;
  }
  const sg_io_hdr_t& h = command.header;
  outcome.scsiStatus = h.status;
  outcome.hostStatus = h.host_status;
  outcome.driverStatus = h.driver_status;
  outcome.senseLength = static_cast<uint8_t>(std::min<std::size_t>(h.sb_len_wr, kSenseBytes));
  std::copy_n(command.sense.begin(), outcome.senseLength, outcome.sense.begin());
  outcome.completed = h.host_status == 0 && (h.driver_status & ~kDriverSense) == 0;
  return outcome;
}

SgTransport::SgTransport(SystemRoots roots, NodeOpener opener, SgIoctl ioctl)
    : roots_(std::move(roots)),
      opener_(opener ? std::move(opener) : NodeOpener(OpenWithSystem)),
      ioctl_(ioctl ? std::move(ioctl) : SgIoctl(IoctlWithSystem)),
      host_(std::make_shared<const HostSnapshot>(LookAtHost(roots_))) {}

SgTransport::~SgTransport() {
  for (const OpenNode& open : handles_) {
    if (open.fd >= 0) ::close(open.fd);
    if (open.writeFd >= 0) ::close(open.writeFd);
  }
}

std::shared_ptr<const HostSnapshot> SgTransport::Snapshot() const {
  std::lock_guard lock(mutex_);
  return host_;
}

void SgTransport::Refresh() {
  // Read outside the lock: a command on the other thread need not wait for
  // sysfs.
  auto fresh = std::make_shared<const HostSnapshot>(LookAtHost(roots_));
  std::lock_guard lock(mutex_);
  host_ = std::move(fresh);
  refusedNode_.reset();
}

OpenResult SgTransport::Open(const DevicePath& path) {
  std::shared_ptr<const HostSnapshot> host = Snapshot();
  if (path.kind == DevicePath::Kind::PhysicalDrive) {
    if (path.drive.number() >= host->disks.size()) return {};
    const ScsiDisk& disk = host->disks[path.drive.number()];
    return OpenNodeOf(std::move(host), disk.node, disk.identity, std::nullopt);
  }
  for (const MountedVolume& volume : host->volumes) {
    if (volume.letter == path.letter) {
      return OpenNodeOf(std::move(host), volume.node, volume.identity, volume.extent);
    }
  }
  return {};
}

OpenResult SgTransport::OpenChecked(const std::filesystem::path& node, const DiskIdentity& identity,
                                    int flags) {
  const int fd = opener_(node.c_str(), flags);
  if (fd < 0) return {kInvalidHandle, StatusOfError(-fd), -fd};
  if (!SameDisk(identity, IdentityOf(fd))) {
    ::close(fd);
    return {kInvalidHandle, OpenStatus::Changed, 0};
  }
  return {fd, OpenStatus::Opened, 0};
}

OpenResult SgTransport::OpenNodeOf(std::shared_ptr<const HostSnapshot> host,
                                   const std::filesystem::path& node, const DiskIdentity& identity,
                                   std::optional<DiskExtent> extent) {
  const OpenResult opened = OpenChecked(node, identity, kReadFlags);
  std::lock_guard lock(mutex_);
  if (opened.status == OpenStatus::Denied) refusedNode_ = node.string();
  if (!opened.opened()) return opened;
  auto slot = std::find_if(handles_.begin(), handles_.end(),
                           [](const OpenNode& open) { return open.fd < 0; });
  if (slot == handles_.end()) slot = handles_.insert(handles_.end(), OpenNode{});
  *slot = {static_cast<int>(opened.handle), -1, std::move(host), &node, identity, extent};
  return opened;
}

void SgTransport::Close(DeviceHandle handle) {
  std::shared_ptr<const HostSnapshot> released;
  std::lock_guard lock(mutex_);
  // Only descriptors this transport opened are closed; a stale or foreign
  // value must not close someone else's file.
  const auto open = std::find_if(handles_.begin(), handles_.end(),
                                 [&](const OpenNode& o) { return o.fd >= 0 && o.fd == handle; });
  if (open == handles_.end()) return;
  if (open->writeFd >= 0) ::close(open->writeFd);
  ::close(open->fd);
  released = std::move(open->host);
  *open = OpenNode{};
}

CommandOutcome SgTransport::Execute(DeviceHandle handle, const ScsiRequest& request) {
  int fd = -1;
  {
    std::lock_guard lock(mutex_);
    const auto open = std::find_if(handles_.begin(), handles_.end(),
                                   [&](const OpenNode& o) { return o.fd >= 0 && o.fd == handle; });
    if (open == handles_.end()) {
      CommandOutcome notOurs;
      notOurs.osError = EBADF;
      return notOurs;
    }
    fd = open->fd;
    if (request.direction == DataDirection::Out && request.transferLength != 0) {
      if (open->writeFd < 0) {
        const OpenResult writable = OpenChecked(*open->node, open->identity, kWriteFlags);
        if (!writable.opened()) {
          if (writable.status == OpenStatus::Denied) refusedNode_ = open->node->string();
          CommandOutcome refused;
          refused.osError = writable.status == OpenStatus::Changed ? ENODEV : writable.osError;
          return refused;
        }
        open->writeFd = static_cast<int>(writable.handle);
      }
      fd = open->writeFd;
    }
  }
  SgCommand command;
  FillSgCommand(request, command);
  return SgOutcome(ioctl_(fd, command.header), command);
}

uint32_t SgTransport::LogicalDriveMask() {
  uint32_t mask = 0;
  for (const MountedVolume& volume : Snapshot()->volumes) mask |= 1u << (volume.letter - 'A');
  return mask;
}

uint8_t SgTransport::DriveType(char letter) {
  for (const MountedVolume& volume : Snapshot()->volumes) {
    if (volume.letter == letter) return volume.driveType;
  }
  return kDriveNoRootDir;
}

std::optional<DiskExtent> SgTransport::FirstExtent(DeviceHandle volume) {
  std::lock_guard lock(mutex_);
  for (const OpenNode& open : handles_) {
    if (open.fd >= 0 && open.fd == volume) return open.extent;
  }
  return std::nullopt;
}

std::string SgTransport::DriveNode(PhysicalDrive drive) {
  const auto host = Snapshot();
  const std::size_t n = drive.number();
  return n < host->disks.size() ? host->disks[n].node.string() : std::string();
}

std::string SgTransport::BridgeId(PhysicalDrive drive) {
  const auto host = Snapshot();
  if (drive.number() >= host->disks.size()) return {};
  const ScsiDisk& disk = host->disks[drive.number()];
  // Asked of enclosures only, at every poll; looked up in sysfs once for
  // each disk the host has had, not at every look at the host.
  const std::tuple key{disk.name, disk.identity.device, disk.identity.sequence};
  {
    std::lock_guard lock(mutex_);
    if (const auto known = bridgeIds_.find(key); known != bridgeIds_.end()) return known->second;
  }
  std::string id = BridgeIdOf(roots_, roots_.sys / "block" / disk.name);
  std::lock_guard lock(mutex_);
  return bridgeIds_.try_emplace(key, std::move(id)).first->second;
}

std::optional<DeniedDisk> SgTransport::RefusedDisk() {
  std::optional<std::string> node;
  {
    std::lock_guard lock(mutex_);
    node = refusedNode_;
  }
  if (!node) return std::nullopt;
  DeniedDisk denied{*node, "disk"};
  struct stat info {};
  if (::stat(denied.node.c_str(), &info) == 0) {
    if (const struct group* owner = ::getgrgid(info.st_gid)) denied.group = owner->gr_name;
  }
  return denied;
}

ClaimToken SgTransport::TryClaimDrive(PhysicalDrive drive, ClaimPurpose purpose) {
  const auto host = Snapshot();
  if (drive.number() >= host->disks.size()) return kClaimEmpty;
  return TryClaimNode(host->disks[drive.number()].node, purpose, opener_);
}

void SgTransport::ReleaseDrive(ClaimToken token) {
  ReleaseNodeClaim(token);
}

bool SgTransport::DriveClaimedForFirmware(PhysicalDrive drive) {
  const auto host = Snapshot();
  const std::size_t n = drive.number();
  return n < host->disks.size() && NodeClaimedForFirmware(host->disks[n].node, opener_);
}

std::unique_ptr<Transport> CreatePlatformTransport() {
  return std::make_unique<SgTransport>();
}

}  // namespace px
