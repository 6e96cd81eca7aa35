#include "sim/virtual_controller.h"

#include <algorithm>

#include "common/bytes.h"
#include "device/knock.h"
#include "raid/records.h"

namespace px::sim {
namespace {

constexpr uint32_t kControlSectorLba = 20;
constexpr std::array<uint8_t, 4> kQueryHeader{0x00, 0x04, 0xEF, 0xFF};
constexpr std::array<uint8_t, 4> kSpiWriteHeader{0x01, 0x05, 0xEF, 0xFF};
constexpr std::array<uint8_t, 4> kSpiEraseHeader{0x00, 0x05, 0xEF, 0xFF};
constexpr uint8_t kSpiRead = 0x20;
constexpr uint8_t kSpiWrite = 0x25;
constexpr uint8_t kSpiErase = 0x23;
constexpr uint8_t kSpiMarker = 0x01;

std::array<uint8_t, 4> Part(const std::array<uint8_t, 148>& frame, std::size_t at) {
  return {frame[at], frame[at + 1], frame[at + 2], frame[at + 3]};
}

uint16_t PageOf(const std::array<uint8_t, 4>& command) {
  return static_cast<uint16_t>(command[2] << 8 | command[3]);
}

uint32_t AddressOf(uint16_t page) {
  return uint32_t{page} << 7;
}

bool Matches(const CommandFault& fault, const std::array<uint8_t, 4>& command) {
  if (fault.count == 0) return false;
  if (fault.c0 && *fault.c0 != command[0]) return false;
  if (fault.page && *fault.page != PageOf(command)) return false;
  return true;
}

}  // namespace

VirtualController::VirtualController(ControllerScenario scenario, std::size_t flashSize)
    : scenario_(std::move(scenario)), flash_(flashSize) {}

// ---------------------------------------------------------------------------
// What the bus feeds.

void VirtualController::Read(uint32_t lba, uint32_t count, uint8_t* out) {
  std::lock_guard lock(mutex_);
  for (uint32_t i = 0; i < count; ++i) FeedRead(lba + i, out + std::size_t{i} * kSectorSize);
}

void VirtualController::FeedRead(uint32_t lba, uint8_t* out) {
  const std::span<uint8_t, kSectorSize> sector(out, kSectorSize);
  if (lba == kReplyLba && reply_) {
    if (pollsBeforeReply_ > 0) {
      --pollsBeforeReply_;
    } else {
      std::copy(reply_->begin(), reply_->end(), sector.begin());
      recogniser_.Feed(lba);  // still a foreign read to a knock under way
      return;
    }
  } else if (lba != kReplyLba && lba != kSeparatorLba && !recogniser_.IsRepeat(lba)) {
    // A repeat of the read just made (the last checksum read, say) is the
    // same read seen twice, as for the recogniser; any other read ends the
    // reply's life.
    reply_.reset();
  }
  disk_.Read(lba, sector);
  if (const auto knock = recogniser_.Feed(lba)) {
    if (knock->checksumOk) {
      Carry(*knock);
    } else {
      ++badChecksums_;
    }
  }
}

void VirtualController::Write(uint32_t lba, uint32_t count, const uint8_t* in) {
  std::lock_guard lock(mutex_);
  for (uint32_t i = 0; i < count; ++i) {
    const std::span<const uint8_t, kSectorSize> sector(in + std::size_t{i} * kSectorSize,
                                                       kSectorSize);
    if (lba + i == kControlSectorLba) {
      controlWrites_.push_back(DecodeControlSector(sector));
    } else {
      disk_.Write(uint64_t{lba} + i, sector);
    }
  }
}

InquiryData VirtualController::Inquiry() {
  std::lock_guard lock(mutex_);
  return MakeInquiryData(scenario_.inquiry);
}

uint32_t VirtualController::ReadLatencyMicros() {
  std::lock_guard lock(mutex_);
  return faults_.readLatencyMicros;
}

// ---------------------------------------------------------------------------
// Commands.

void VirtualController::Carry(const RecognisedKnock& knock) {
  ExecutedCommand done;
  done.header = Part(knock.frame, 8);
  done.command = Part(knock.frame, 12);
  done.longForm = knock.longForm;

  // A counted fault answers in the command's place; it is not carried out.
  std::optional<std::optional<uint8_t>> faultAnswer;
  for (CommandFault& fault : commandFaults_) {
    if (Matches(fault, done.command)) {
      --fault.count;
      faultAnswer = fault.status;
      break;
    }
  }
  std::erase_if(commandFaults_, [](const CommandFault& f) { return f.count == 0; });

  // A forced status other than 0x20 means the command was not carried out;
  // a forced 0x20 is just the ordinary answer.
  bool answer = true;
  std::optional<uint8_t> forced = faults_.status;
  if (faultAnswer) {
    answer = faultAnswer->has_value();
    forced = answer ? *faultAnswer : std::optional<uint8_t>(0x00);
  }
  Sector reply{};
  if (forced && *forced != kStatusCarriedOut) {
    reply = MakeReplySector(*forced);
  } else if (answer) {
    done.carriedOut = Execute(knock, reply);
  }
  if (faults_.noReply) answer = false;

  reply_.reset();
  if (answer) {
    if (faults_.wrongTailSignature) {
      std::copy_n(kWrongTailSignature, 16, reply.begin() + kReplyTailOffset);
    }
    reply_ = reply;
    pollsBeforeReply_ = faults_.replyAfterPolls;
    done.replied = true;
    done.status = reply[kReplyStatusOffset];
  }
  commands_.push_back(done);
}

bool VirtualController::Execute(const RecognisedKnock& knock, Sector& reply) {
  const auto header = Part(knock.frame, 8);
  const auto command = Part(knock.frame, 12);
  const bool spi = command[1] == kSpiMarker;
  const uint32_t address = AddressOf(PageOf(command));

  if (!knock.longForm && header == kQueryHeader && command[1] == 0xCF && command[2] == 0xDF &&
      command[3] == 0xEF) {
    reply = MakeQueryReply(scenario_, command[0]);
    return reply[kReplyStatusOffset] == kStatusCarriedOut;
  }
  if (!knock.longForm && header == kQueryHeader && spi && command[0] == kSpiRead) {
    reply = MakeReplySector(kStatusCarriedOut);
    const std::span<uint8_t> data(reply.data() + kReplySpiDataOffset, kPayloadSize);
    flash_.Read(address, data);
    if (auto& flip = faults_.flippedBit) {
      const std::size_t size = flash_.size();
      for (std::size_t i = 0; i < kPayloadSize; ++i) {
        if ((address + i) % size != flip->address % size) continue;
        const bool wrong = (flip->reads == 0 || flip->seen < flip->reads) &&
                           (!flip->everyOther || flip->seen % 2 == 0);
        if (wrong) data[i] ^= flip->mask;
        ++flip->seen;
      }
    }
    return true;
  }
  if (knock.longForm && header == kSpiWriteHeader && spi && command[0] == kSpiWrite) {
    flash_.Program(address, std::span<const uint8_t>(knock.frame.data() + 16, kPayloadSize));
    reply = MakeReplySector(kStatusCarriedOut);
    return true;
  }
  if (!knock.longForm && header == kSpiEraseHeader && spi && command[0] == kSpiErase) {
    flash_.EraseBlock(address);
    reply = MakeReplySector(kStatusCarriedOut);
    return true;
  }
  reply = MakeReplySector(kStatusUnknownCommand);
  return false;
}

// ---------------------------------------------------------------------------
// Scenario and faults.

ControllerScenario VirtualController::Scenario() const {
  std::lock_guard lock(mutex_);
  return scenario_;
}

void VirtualController::SetScenario(ControllerScenario scenario) {
  std::lock_guard lock(mutex_);
  scenario_ = std::move(scenario);
}

void VirtualController::UpdateScenario(const std::function<void(ControllerScenario&)>& change) {
  std::lock_guard lock(mutex_);
  change(scenario_);
}

ControllerFaults VirtualController::Faults() const {
  std::lock_guard lock(mutex_);
  return faults_;
}

void VirtualController::SetFaults(ControllerFaults faults) {
  std::lock_guard lock(mutex_);
  faults_ = faults;
}

void VirtualController::UpdateFaults(const std::function<void(ControllerFaults&)>& change) {
  std::lock_guard lock(mutex_);
  change(faults_);
}

void VirtualController::ClearFaults() {
  std::lock_guard lock(mutex_);
  faults_ = {};
  commandFaults_.clear();
}

void VirtualController::AddCommandFault(CommandFault fault) {
  std::lock_guard lock(mutex_);
  if (fault.count > 0) commandFaults_.push_back(fault);
}

void VirtualController::ClearCommandFaults() {
  std::lock_guard lock(mutex_);
  commandFaults_.clear();
}

uint32_t VirtualController::PendingCommandFaults() const {
  std::lock_guard lock(mutex_);
  uint32_t n = 0;
  for (const CommandFault& f : commandFaults_) n += f.count;
  return n;
}

// ---------------------------------------------------------------------------
// Flash and disk.

std::size_t VirtualController::FlashSize() const {
  std::lock_guard lock(mutex_);
  return flash_.size();
}

std::vector<uint8_t> VirtualController::ReadFlash(uint32_t address, std::size_t length) const {
  std::lock_guard lock(mutex_);
  std::vector<uint8_t> out(length);
  flash_.Read(address, out);
  return out;
}

void VirtualController::SetFlash(uint32_t address, std::span<const uint8_t> data) {
  std::lock_guard lock(mutex_);
  flash_.Set(address, data);
}

void VirtualController::ResetFlash(std::size_t size) {
  std::lock_guard lock(mutex_);
  flash_.Reset(size);
}

Sector VirtualController::ReadDiskSector(uint64_t lba) const {
  std::lock_guard lock(mutex_);
  return disk_.Get(lba);
}

void VirtualController::WriteDiskSector(uint64_t lba, std::span<const uint8_t, kSectorSize> data) {
  std::lock_guard lock(mutex_);
  disk_.Write(lba, data);
}

// ---------------------------------------------------------------------------
// Observations.

std::vector<ControlWrite> VirtualController::ControlWrites() const {
  std::lock_guard lock(mutex_);
  return controlWrites_;
}

void VirtualController::ClearControlWrites() {
  std::lock_guard lock(mutex_);
  controlWrites_.clear();
}

std::vector<ExecutedCommand> VirtualController::Commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

std::size_t VirtualController::CommandCount() const {
  std::lock_guard lock(mutex_);
  return commands_.size();
}

void VirtualController::ClearCommands() {
  std::lock_guard lock(mutex_);
  commands_.clear();
}

uint32_t VirtualController::BadChecksumCount() const {
  std::lock_guard lock(mutex_);
  return badChecksums_;
}

bool VirtualController::ReplyArmed() const {
  std::lock_guard lock(mutex_);
  return reply_.has_value();
}

void VirtualController::ResetChannel() {
  std::lock_guard lock(mutex_);
  recogniser_.Reset();
  reply_.reset();
  pollsBeforeReply_ = 0;
}

}  // namespace px::sim
