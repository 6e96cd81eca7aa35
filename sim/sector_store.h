#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>

#include "device/transport.h"

namespace px::sim {

// A disk's own data: sparse, every sector zero until written. Not
// thread-safe; its owner locks.
class SectorStore {
 public:
  using Sector = std::array<uint8_t, kSectorSize>;
  void Read(uint64_t lba, std::span<uint8_t, kSectorSize> out) const;
  void Write(uint64_t lba, std::span<const uint8_t, kSectorSize> in);
  Sector Get(uint64_t lba) const;
  void Clear() { sectors_.clear(); }
  std::size_t WrittenSectors() const { return sectors_.size(); }

 private:
  std::map<uint64_t, Sector> sectors_;
};

}  // namespace px::sim
