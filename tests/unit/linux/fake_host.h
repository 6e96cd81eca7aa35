#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "device/linux/disk_inventory.h"

namespace px::test {

// A fake /sys, /dev and mount table in a temporary directory, removed again
// at the end of the test. Device nodes are plain files, so they open.
class FakeHost {
 public:
  FakeHost() {
    std::string pattern = (std::filesystem::temp_directory_path() / "px-host-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    std::filesystem::create_directories(root_ / "sys" / "block");
    std::filesystem::create_directories(root_ / "dev");
    Write(root_ / "mounts", "");
  }
  ~FakeHost() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;

  SystemRoots roots() const { return {root_ / "sys", root_ / "dev", root_ / "mounts"}; }
  std::filesystem::path dev() const { return root_ / "dev"; }

  // A whole disk in /sys/block with its node in /dev.
  void AddDisk(const std::string& name, bool removable = false, uint64_t sectors = 1000000) {
    const auto dir = root_ / "sys" / "block" / name;
    std::filesystem::create_directories(dir);
    Write(dir / "removable", removable ? "1\n" : "0\n");
    Write(dir / "size", std::to_string(sectors) + "\n");
    Write(root_ / "dev" / name, "");
  }
  // The disk's device number as sysfs gives it ("8:16"), and its node made a
  // link to a real device node with that number, e.g. /dev/null (1:3): a
  // plain file has device number 0, which a disk without the sysfs entry
  // matches.
  void SetDeviceNode(const std::string& name, const std::string& number,
                     const std::filesystem::path& target) {
    Write(root_ / "sys" / "block" / name / "dev", number + "\n");
    ReplaceNode(name, target);
  }
  // The node alone now leads elsewhere, as when another disk took the name.
  void ReplaceNode(const std::string& name, const std::filesystem::path& target) {
    std::filesystem::remove(root_ / "dev" / name);
    std::filesystem::create_symlink(target, root_ / "dev" / name);
  }
  void RemoveDisk(const std::string& name) {
    std::filesystem::remove_all(root_ / "sys" / "block" / name);
    std::filesystem::remove(root_ / "dev" / name);
  }
  // A partition directory under its disk, with start and size in 512-byte units.
  void AddPartition(const std::string& disk, const std::string& name, uint64_t start,
                    uint64_t size) {
    const auto dir = root_ / "sys" / "block" / disk / name;
    std::filesystem::create_directories(dir);
    Write(dir / "partition", "1\n");
    Write(dir / "start", std::to_string(start) + "\n");
    Write(dir / "size", std::to_string(size) + "\n");
    Write(root_ / "dev" / name, "");
  }
  // A link under /dev, e.g. disk/by-uuid/abcd -> ../../sda1.
  void AddDevLink(const std::string& link, const std::string& target) {
    const auto path = root_ / "dev" / link;
    std::filesystem::create_directories(path.parent_path());
    std::filesystem::create_symlink(target, path);
  }
  // One line of the mount table, as the kernel writes it.
  void Mount(const std::string& source, const std::string& where,
             const std::string& type = "ext4") {
    std::ofstream(root_ / "mounts", std::ios::app)
        << source << ' ' << where << ' ' << type << " rw,relatime 0 0\n";
  }

 private:
  static void Write(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file) << text;
  }

  std::filesystem::path root_;
};

}  // namespace px::test
