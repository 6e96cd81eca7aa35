#pragma once

#include <cstdint>
#include <mutex>

#include "sim/replies.h"
#include "sim/scenario.h"
#include "sim/sector_store.h"

namespace px::sim {

// What the virtual bus needs of a physical drive. Each call is one SCSI
// command; the drive sees its sectors in order and atomically with respect
// to other commands.
class VirtualDrive {
 public:
  virtual ~VirtualDrive() = default;
  // READ(10): `count` sectors from `lba` into out (count * 512 bytes).
  virtual void Read(uint32_t lba, uint32_t count, uint8_t* out) = 0;
  // WRITE(10): `count` sectors from in.
  virtual void Write(uint32_t lba, uint32_t count, const uint8_t* in) = 0;
  virtual InquiryData Inquiry() = 0;
  // Latency the bus charges for each READ(10) to this drive, on top of its own.
  virtual uint32_t ReadLatencyMicros() { return 0; }
};

// An ordinary disk: answers reads with its data and knows no knock.
class PlainDisk final : public VirtualDrive {
 public:
  PlainDisk() = default;
  explicit PlainDisk(InquiryScenario inquiry) : inquiry_(std::move(inquiry)) {}

  void Read(uint32_t lba, uint32_t count, uint8_t* out) override;
  void Write(uint32_t lba, uint32_t count, const uint8_t* in) override;
  InquiryData Inquiry() override;

  void SetInquiry(InquiryScenario inquiry);
  SectorStore::Sector ReadSector(uint64_t lba) const;
  void WriteSector(uint64_t lba, std::span<const uint8_t, kSectorSize> data);

 private:
  mutable std::mutex mutex_;
  InquiryScenario inquiry_{"ATA", "Plain Disk", "1.00"};
  SectorStore store_;
};

}  // namespace px::sim
