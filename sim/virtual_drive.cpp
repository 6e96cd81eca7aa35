#include "sim/virtual_drive.h"

namespace px::sim {

void PlainDisk::Read(uint32_t lba, uint32_t count, uint8_t* out) {
  std::lock_guard lock(mutex_);
  for (uint32_t i = 0; i < count; ++i) {
    store_.Read(uint64_t{lba} + i,
                std::span<uint8_t, kSectorSize>(out + std::size_t{i} * kSectorSize, kSectorSize));
  }
}

void PlainDisk::Write(uint32_t lba, uint32_t count, const uint8_t* in) {
  std::lock_guard lock(mutex_);
  for (uint32_t i = 0; i < count; ++i) {
    store_.Write(uint64_t{lba} + i, std::span<const uint8_t, kSectorSize>(
                                        in + std::size_t{i} * kSectorSize, kSectorSize));
  }
}

InquiryData PlainDisk::Inquiry() {
  std::lock_guard lock(mutex_);
  return MakeInquiryData(inquiry_);
}

void PlainDisk::SetInquiry(InquiryScenario inquiry) {
  std::lock_guard lock(mutex_);
  inquiry_ = std::move(inquiry);
}

SectorStore::Sector PlainDisk::ReadSector(uint64_t lba) const {
  std::lock_guard lock(mutex_);
  return store_.Get(lba);
}

void PlainDisk::WriteSector(uint64_t lba, std::span<const uint8_t, kSectorSize> data) {
  std::lock_guard lock(mutex_);
  store_.Write(lba, data);
}

}  // namespace px::sim
