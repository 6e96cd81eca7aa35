#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "sim/knock_recogniser.h"
#include "sim/nor_flash.h"
#include "sim/replies.h"
#include "sim/scenario.h"
#include "sim/sector_store.h"
#include "sim/virtual_drive.h"

namespace px::sim {

// One enclosure's controller, as the host sees it through its disk.
//
// Every sector read and write of the disk passes through here in order. The
// controller recognises knocks among ordinary reads (KnockRecogniser), drops
// a frame whose CRC-32 is wrong, carries out a good one and arms its reply:
// reads of LBA 17 then return the 512-byte reply sector instead of the disk's
// data (after `replyAfterPolls` reads, under that fault).
//
// Reply lifetime: the reply is built when the knock completes (from the
// scenario as it is then) and stays armed across reads of LBA 17 and of the
// 0x5FFF separator; the first read of any other LBA disarms it (a repeat of
// the read just made, with no separator between, counts as the same read), so
// a new knock always starts without a stale reply. Writes neither disarm it nor
// touch a knock under way.
//
// Commands (header / command bytes):
//   00 04 EF FF / s CF DF EF, short:  query s = 0x10 presence, 0x11 identity,
//                                     0x15 progress, 0x17 status
//   00 04 EF FF / 20 01 P1 P0, short: SPI read of page P1P0; 128 bytes at 80
//   01 05 EF FF / 25 01 P1 P0, long:  SPI program of the page with the payload
//   00 05 EF FF / 23 01 P1 P0, short: SPI erase of the 4096-byte block
// Anything else (including a known command in the wrong form) is answered
// with kStatusUnknownCommand and nothing is done.
//
// Disk data: a sparse store, zeros until written. A WRITE of LBA 20 is the
// control sector: decoded and recorded, not stored.
//
// Every method is safe to call from any thread at any time.
class VirtualController final : public VirtualDrive {
 public:
  explicit VirtualController(ControllerScenario scenario = {},
                             std::size_t flashSize = NorFlash::kDefaultSize);

  // VirtualDrive: what the bus feeds.
  void Read(uint32_t lba, uint32_t count, uint8_t* out) override;
  void Write(uint32_t lba, uint32_t count, const uint8_t* in) override;
  InquiryData Inquiry() override;
  uint32_t ReadLatencyMicros() override;

  // Scenario, whole or in part (the function runs under the lock).
  ControllerScenario Scenario() const;
  void SetScenario(ControllerScenario scenario);
  void UpdateScenario(const std::function<void(ControllerScenario&)>& change);

  // Standing faults.
  ControllerFaults Faults() const;
  void SetFaults(ControllerFaults faults);
  void UpdateFaults(const std::function<void(ControllerFaults&)>& change);
  void ClearFaults();
  // Counted faults; the first entry that matches a command takes it.
  void AddCommandFault(CommandFault fault);
  void ClearCommandFaults();
  // Matching commands the counted faults will still take.
  uint32_t PendingCommandFaults() const;

  // Flash.
  std::size_t FlashSize() const;
  std::vector<uint8_t> ReadFlash(uint32_t address, std::size_t length) const;
  // Sets bytes as they are (not NOR-programmed).
  void SetFlash(uint32_t address, std::span<const uint8_t> data);
  // All 0xFF at the given size (a multiple of 4096).
  void ResetFlash(std::size_t size = NorFlash::kDefaultSize);

  // Disk data, bypassing knock recognition.
  Sector ReadDiskSector(uint64_t lba) const;
  void WriteDiskSector(uint64_t lba, std::span<const uint8_t, kSectorSize> data);

  // What the controller saw.
  std::vector<ControlWrite> ControlWrites() const;
  void ClearControlWrites();
  std::vector<ExecutedCommand> Commands() const;  // good knocks, in order
  std::size_t CommandCount() const;               // how many of them, without the copy
  void ClearCommands();
  uint32_t BadChecksumCount() const;  // complete frames dropped for their CRC
  bool ReplyArmed() const;
  // Forgets a knock under way and disarms the reply, like a power cycle of
  // the channel; scenario, faults, flash and disk stay.
  void ResetChannel();

 private:
  void FeedRead(uint32_t lba, uint8_t* out);
  void Carry(const RecognisedKnock& knock);
  // Carries out a recognised command into the reply; false when unknown.
  bool Execute(const RecognisedKnock& knock, Sector& reply);

  mutable std::mutex mutex_;
  ControllerScenario scenario_;
  ControllerFaults faults_;
  std::vector<CommandFault> commandFaults_;
  KnockRecogniser recogniser_;
  NorFlash flash_;
  SectorStore disk_;
  std::optional<Sector> reply_;
  uint32_t pollsBeforeReply_ = 0;
  std::vector<ControlWrite> controlWrites_;
  std::vector<ExecutedCommand> commands_;
  uint32_t badChecksums_ = 0;
};

}  // namespace px::sim
