#include "sim/sector_store.h"

#include <algorithm>

namespace px::sim {

void SectorStore::Read(uint64_t lba, std::span<uint8_t, kSectorSize> out) const {
  const auto it = sectors_.find(lba);
  if (it == sectors_.end()) {
    std::fill(out.begin(), out.end(), uint8_t{0});
  } else {
    std::copy(it->second.begin(), it->second.end(), out.begin());
  }
}

void SectorStore::Write(uint64_t lba, std::span<const uint8_t, kSectorSize> in) {
  Sector& s = sectors_[lba];
  std::copy(in.begin(), in.end(), s.begin());
}

SectorStore::Sector SectorStore::Get(uint64_t lba) const {
  Sector s{};
  Read(lba, s);
  return s;
}

}  // namespace px::sim
