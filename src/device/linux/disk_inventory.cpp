#include "device/linux/disk_inventory.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string_view>
#include <system_error>

namespace px {
namespace {

namespace fs = std::filesystem;

// sysfs counts "start" and "size" in 512-byte units whatever the disk's
// logical block size.
constexpr uint64_t kSysfsSectorBytes = 512;
constexpr char kFirstVolumeLetter = 'C';
constexpr char kLastVolumeLetter = 'Z';

std::optional<uint64_t> ReadNumber(const fs::path& file) {
  std::ifstream in(file);
  uint64_t value = 0;
  if (!(in >> value)) return std::nullopt;
  return value;
}

// sysfs "dev" reads "8:16".
uint64_t ReadDeviceNumber(const fs::path& file) {
  std::ifstream in(file);
  unsigned major = 0;
  unsigned minor = 0;
  char colon = 0;
  if (!(in >> major >> colon >> minor) || colon != ':') return 0;
  return makedev(major, minor);
}

bool Exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

// Names of the directory's entries; an unreadable directory has none.
std::vector<std::string> EntryNames(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  return names;
}

// The kernel name a mount source refers to: /dev/sda1 gives "sda1", a link
// such as /dev/disk/by-uuid/... gives the name of what it points at. Links are
// followed inside the dev root so that a fake tree stays self-contained.
std::string KernelNameOfSource(const SystemRoots& roots, const std::string& source) {
  static constexpr std::string_view kDevPrefix = "/dev/";
  if (source.compare(0, kDevPrefix.size(), kDevPrefix) != 0) return {};
  fs::path node = roots.dev / source.substr(kDevPrefix.size());
  for (int hops = 0; hops < 8; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(node, ec)) break;
    const fs::path target = fs::read_symlink(node, ec);
    if (ec) return {};
    node = (target.is_absolute() ? roots.dev / target.lexically_relative("/dev")
                                 : node.parent_path() / target)
               .lexically_normal();
  }
  return node.filename().string();
}

// The first line of a small sysfs file; empty when there is none.
std::string ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string IdText(std::string_view text) {
  std::string id(text);
  for (char& c : id) {
    const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '-' || c == '_';
    if (!kept) c = '_';
  }
  return id;
}

struct PartitionFacts {
  uint32_t diskIndex = 0;
  uint64_t startBytes = 0;
  uint64_t lengthBytes = 0;
  uint64_t device = 0;
};

// Every partition (and every whole disk, at offset 0) of `disks` by kernel name.
std::map<std::string, PartitionFacts> CollectPartitions(const SystemRoots& roots,
                                                        const std::vector<ScsiDisk>& disks) {
  std::map<std::string, PartitionFacts> parts;
  for (uint32_t i = 0; i < disks.size(); ++i) {
    const ScsiDisk& disk = disks[i];
    parts[disk.name] = {i, 0, disk.sizeBytes, disk.identity.device};
    const fs::path diskDir = roots.sys / "block" / disk.name;
    for (const std::string& entry : EntryNames(diskDir)) {
      if (entry.compare(0, disk.name.size(), disk.name) != 0) continue;
      const fs::path partDir = diskDir / entry;
      if (!Exists(partDir / "partition")) continue;
      const auto start = ReadNumber(partDir / "start");
      const auto size = ReadNumber(partDir / "size");
      if (!start || !size) continue;
      parts[entry] = {i, *start * kSysfsSectorBytes, *size * kSysfsSectorBytes,
                      ReadDeviceNumber(partDir / "dev")};
    }
  }
  return parts;
}

}  // namespace

bool SameDisk(const DiskIdentity& listed, const DiskIdentity& opened) {
  if (listed.device != opened.device) return false;
  return listed.sequence == 0 || opened.sequence == 0 || listed.sequence == opened.sequence;
}

DiskIdentity IdentityOf(int fd) {
  DiskIdentity identity;
  struct stat info {};
  if (::fstat(fd, &info) == 0) identity.device = info.st_rdev;
  // Anything that is no block device, or a kernel without sequence numbers,
  // answers ENOTTY: the device number is then all there is to compare.
  uint64_t sequence = 0;
  if (::ioctl(fd, BLKGETDISKSEQ, &sequence) == 0) identity.sequence = sequence;
  return identity;
}

bool IsScsiDiskName(const std::string& name) {
  if (name.size() < 3 || name.compare(0, 2, "sd") != 0) return false;
  return std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

bool KernelNameLess(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

std::string BridgeIdOf(const SystemRoots& roots, const fs::path& diskDir) {
  std::error_code ec;
  const fs::path sys = fs::weakly_canonical(roots.sys, ec);
  fs::path dir = fs::canonical(diskDir / "device", ec);
  if (ec) return {};
  // Up from the SCSI device to the USB device it hangs from: the first folder
  // that has a vendor and product number. Nothing above the sysfs root.
  for (; !dir.empty() && dir != dir.root_path() && dir != sys; dir = dir.parent_path()) {
    const std::string vendor = ReadLine(dir / "idVendor");
    const std::string product = ReadLine(dir / "idProduct");
    if (vendor.empty() || product.empty()) continue;
    const std::string serial = ReadLine(dir / "serial");
    if (serial.find_first_not_of(' ') == std::string::npos) {
      return "usb-port-" + IdText(dir.filename().string());
    }
    return "usb-" + IdText(vendor) + "-" + IdText(product) + "-" + IdText(serial);
  }
  return {};
}

std::vector<ScsiDisk> ListScsiDisks(const SystemRoots& roots) {
  std::vector<ScsiDisk> disks;
  const fs::path blockDir = roots.sys / "block";
  for (const std::string& name : EntryNames(blockDir)) {
    if (!IsScsiDiskName(name)) continue;
    const fs::path dir = blockDir / name;
    // /sys/block lists whole disks only; a "partition" file would say otherwise.
    if (Exists(dir / "partition")) continue;
    ScsiDisk disk;
    disk.name = name;
    disk.node = roots.dev / name;
    disk.removable = ReadNumber(dir / "removable").value_or(0) != 0;
    disk.sizeBytes = ReadNumber(dir / "size").value_or(0) * kSysfsSectorBytes;
    disk.identity = {ReadDeviceNumber(dir / "dev"), ReadNumber(dir / "diskseq").value_or(0)};
    disks.push_back(std::move(disk));
  }
  std::sort(disks.begin(), disks.end(),
            [](const ScsiDisk& a, const ScsiDisk& b) { return KernelNameLess(a.name, b.name); });
  return disks;
}

std::string DecodeMountField(const std::string& field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out.push_back(static_cast<char>(std::stoi(digits, nullptr, 8)));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

std::vector<MountedVolume> ListMountedVolumes(const SystemRoots& roots,
                                              const std::vector<ScsiDisk>& disks) {
  std::vector<MountedVolume> volumes;
  const auto parts = CollectPartitions(roots, disks);
  std::ifstream mounts(roots.mounts);
  std::string line;
  char next = kFirstVolumeLetter;
  while (next <= kLastVolumeLetter && std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string source;
    if (!(fields >> source)) continue;
    const std::string name = KernelNameOfSource(roots, DecodeMountField(source));
    const auto part = parts.find(name);
    if (part == parts.end()) continue;
    // A partition mounted twice (bind mounts, several namespaces' views)
    // is one volume with the letter of its first mount.
    if (std::any_of(volumes.begin(), volumes.end(),
                    [&](const MountedVolume& v) { return v.name == name; })) {
      continue;
    }
    MountedVolume volume;
    volume.letter = next++;
    volume.name = name;
    volume.node = roots.dev / name;
    volume.driveType = disks[part->second.diskIndex].removable ? kDriveRemovable : kDriveFixed;
    volume.extent = {part->second.diskIndex, part->second.startBytes, part->second.lengthBytes};
    volume.identity = {part->second.device, disks[part->second.diskIndex].identity.sequence};
    volumes.push_back(std::move(volume));
  }
  return volumes;
}

HostSnapshot LookAtHost(const SystemRoots& roots) {
  HostSnapshot host;
  host.disks = ListScsiDisks(roots);
  host.volumes = ListMountedVolumes(roots, host.disks);
  return host;
}

}  // namespace px
