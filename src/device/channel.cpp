#include "device/channel.h"

#include <algorithm>
#include <chrono>

namespace px {
namespace {

// How often a wait for the channel looks again when nobody wakes it: the
// window's events run at least this often while it waits.
constexpr auto kPumpSlice = std::chrono::milliseconds(10);
// Without events to run, only the closing flag needs a look now and then.
constexpr auto kQuietSlice = std::chrono::milliseconds(100);
// How often a claim refused by another program is asked again.
constexpr uint32_t kClaimRetryMs = 50;

// A drive number has four bits wherever the program keeps one.
constexpr PhysicalDrive DriveBits(PhysicalDrive drive) {
  return PhysicalDrive(drive.number() & 0x0FU);
}

}  // namespace

CommandChannel::CommandChannel(DeviceAccess& access, Clock& clock, MessagePump pump,
                               const StopSignals& flags)
    : access_(access), clock_(clock), pump_(std::move(pump)), flags_(flags) {}

CommandChannel::Guard::Guard(Guard&& other) noexcept
    : channel_(other.channel_), drive_(other.drive_), refusal_(other.refusal_) {
  other.channel_ = nullptr;
}

CommandChannel::Guard::~Guard() {
  if (channel_ == nullptr) return;
  channel_->ReleaseDrive(drive_);
  channel_->Unlock();
}

CommandChannel::DriveHold::DriveHold(DriveHold&& other) noexcept
    : channel_(other.channel_), drive_(other.drive_), refusal_(other.refusal_) {
  other.channel_ = nullptr;
}

CommandChannel::DriveHold::~DriveHold() {
  if (channel_ != nullptr) channel_->ReleaseDrive(drive_);
}

CommandChannel::Guard CommandChannel::Lock(PhysicalDrive drive, uint32_t waitMs) {
  const auto self = std::this_thread::get_id();
  {
    std::unique_lock lock(mutex_);
    if (busy_ && owner_ == self) return Guard(nullptr, drive, LockRefusal::Reentered);
    // A condition variable rather than a polled try_lock: the holder's
    // release wakes the waiter at once, and a waiter without events to run
    // sleeps instead of spinning.
    while (busy_) {
      if (WaitEnds()) return Guard(nullptr, drive, LockRefusal::Closing);
      if (pump_) {
        lock.unlock();
        pump_();
        lock.lock();
        if (!busy_) break;
      }
      freed_.wait_for(lock, pump_ ? kPumpSlice : kQuietSlice);
    }
    if (flags_.closing.load()) return Guard(nullptr, drive, LockRefusal::Closing);
    busy_ = true;
    owner_ = self;
  }
  const LockRefusal refusal = ClaimDrive(drive, ClaimPurpose::Commands, waitMs);
  if (refusal != LockRefusal::None) {
    Unlock();
    return Guard(nullptr, drive, refusal);
  }
  return Guard(this, drive, LockRefusal::None);
}

void CommandChannel::Unlock() {
  {
    const std::lock_guard lock(mutex_);
    busy_ = false;
    owner_ = std::thread::id();
  }
  freed_.notify_one();
}

CommandChannel::DriveHold CommandChannel::HoldDrive(PhysicalDrive drive, ClaimPurpose purpose,
                                                    uint32_t waitMs) {
  const LockRefusal refusal = ClaimDrive(drive, purpose, waitMs);
  return DriveHold(refusal == LockRefusal::None ? this : nullptr, drive, refusal);
}

LockRefusal CommandChannel::ClaimDrive(PhysicalDrive drive, ClaimPurpose purpose, uint32_t waitMs) {
  const auto self = std::this_thread::get_id();
  const uint64_t start = clock_.TickMs();
  for (;;) {
    {
      const std::lock_guard lock(claimsMutex_);
      HeldDrive& held = held_[DriveBits(drive).number()];
      // Nested claims of one thread are counted here: a second claim from
      // the transport would be refused by our own first one.
      if (held.depth > 0 && held.owner == self) {
        ++held.depth;
        return LockRefusal::None;
      }
      if (held.depth == 0) {
        const ClaimToken token = access_.transport().TryClaimDrive(DriveBits(drive), purpose);
        if (token != kClaimRefused) {
          held = {self, 1, token};
          return LockRefusal::None;
        }
      }
    }
    if (clock_.TickMs() - start >= waitMs) return LockRefusal::DriveBusy;
    if (pump_) pump_();
    if (WaitEnds()) return LockRefusal::Closing;
    clock_.SleepMs(kClaimRetryMs);
  }
}

void CommandChannel::ReleaseDrive(PhysicalDrive drive) {
  const std::lock_guard lock(claimsMutex_);
  HeldDrive& held = held_[DriveBits(drive).number()];
  if (held.depth == 0 || --held.depth != 0) return;
  access_.transport().ReleaseDrive(held.token);
  held = {};
}

std::string CommandChannel::DriveBusyReason(PhysicalDrive drive) {
  const bool firmware = access_.transport().DriveClaimedForFirmware(DriveBits(drive));
  return firmware ? "another program is upgrading its firmware" : "another program is using it";
}

std::string CommandChannel::DriveBusyText(PhysicalDrive drive) {
  return "Drive " + std::to_string(DriveBits(drive).number()) +
         " is busy: " + DriveBusyReason(drive) + ".";
}

bool CommandChannel::ReadOne(DeviceHandle handle, uint32_t lba) {
  return access_.ReadSectors(handle, lba, record_.Sector.data(), 1);
}

std::optional<ChannelFailure> CommandChannel::EncodeKnockSequence(const Guard& guard,
                                                                  DeviceHandle handle) {
  EncodeLbaList(record_);
  return PlayKnockSequence(guard, handle);
}

std::optional<ChannelFailure> CommandChannel::PlayKnockSequence(const Guard& /*guard*/,
                                                                DeviceHandle handle) {
  uint32_t previous = 0;
  for (uint32_t i = 0; i < record_.LbaCount; ++i) {
    if (pump_) pump_();
    if (flags_.closing.load()) return ChannelFailure::KnockFailed;
    const uint32_t lba = record_.LbaList[i];
    // The controller cannot see two equal reads in a row as two symbols.
    if (lba == previous && !ReadOne(handle, kSeparatorLba)) return ChannelFailure::KnockFailed;
    if (!ReadOne(handle, lba)) return ChannelFailure::KnockFailed;
    previous = lba;
  }
  return std::nullopt;
}

std::optional<ChannelFailure> CommandChannel::ExchangeCommand(const Guard& /*guard*/,
                                                              DeviceHandle handle,
                                                              uint32_t waitLimitMs) {
  const uint64_t start = clock_.TickMs();
  record_.ReplyLba = kReplyLba;
  // Whole seconds, as the controller's firmware tools have always counted
  // them: a 3000 ms limit gives up once 4 whole seconds have passed.
  const uint64_t limitSeconds = waitLimitMs / 1000;
  bool arrived = false;
  bool gaveUp = false;
  do {
    if (pump_) pump_();
    if (flags_.closing.load()) return ChannelFailure::ReplyFailed;
    (void)ReadOne(handle, kSeparatorLba);
    if (flags_.closing.load()) return ChannelFailure::ReplyFailed;
    if (!ReadOne(handle, record_.ReplyLba)) return ChannelFailure::ReplyFailed;
    arrived = IsReplySector(record_.Sector);
    if (!arrived) {
      if (flags_.stopping.load()) return ChannelFailure::ReplyFailed;
      const uint64_t elapsedSeconds = (clock_.TickMs() - start) / 1000;
      gaveUp = elapsedSeconds > limitSeconds;
    }
    clock_.SleepMs(10);
  } while (!arrived && !gaveUp);
  if (!arrived) {
    record_.Status = kResultNoReply;
    return ChannelFailure::NoReply;
  }
  record_.Status = NormaliseStatus(record_.Sector[kReplyStatusOffset]);
  return std::nullopt;
}

CommandResult CommandChannel::Transact(const Guard& guard, DeviceHandle handle,
                                       const KnockCommand& command, uint32_t waitLimitMs,
                                       std::span<uint8_t> reply, std::size_t replyOffset) {
  if (!guard) return CommandResult::Failed(ChannelFailure::KnockFailed);
  BuildCommand(record_, command);
  if (const auto failure = EncodeKnockSequence(guard, handle)) {
    return CommandResult::Failed(*failure);
  }
  if (flags_.closing.load()) return CommandResult::Failed(ChannelFailure::KnockFailed);
  if (const auto failure = ExchangeCommand(guard, handle, waitLimitMs)) {
    return CommandResult::Failed(*failure);
  }
  if (record_.Status != kStatusCarriedOut) return CommandResult::Reply(record_.Status, false);
  const std::size_t n =
      std::min(reply.size(), kSectorSize - std::min<std::size_t>(replyOffset, kSectorSize));
  std::copy_n(record_.Sector.begin() + static_cast<std::ptrdiff_t>(replyOffset), n, reply.begin());
  return CommandResult::Reply(kStatusCarriedOut, true);
}

CommandResult CommandChannel::QueryController(PhysicalDrive drive, uint8_t subCommand,
                                              std::span<uint8_t, kSectorSize> reply) {
  if (flags_.closing.load()) return CommandResult::Failed(ChannelFailure::NotOpened);
  const Guard guard = Lock(drive);
  if (!guard) {
    return CommandResult::Failed(guard.refusal() == LockRefusal::DriveBusy
                                     ? ChannelFailure::DriveBusy
                                     : ChannelFailure::NotOpened);
  }
  ScopedDevice device(access_, DriveBits(drive));
  if (!device.valid()) return CommandResult::Failed(ChannelFailure::NotOpened);
  return Transact(guard, device.get(), ControllerQuery(subCommand), QueryWaitLimitMs(subCommand),
                  reply);
}

}  // namespace px
