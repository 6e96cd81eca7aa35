#include "device/channel.h"

#include <algorithm>
#include <chrono>

#include "device/session.h"

namespace px {

CommandChannel::CommandChannel(DeviceAccess& access, Clock& clock, MessagePump pump,
                               const std::atomic<bool>& closing)
    : access_(access), clock_(clock), pump_(std::move(pump)), closing_(closing) {}

CommandChannel::Guard::Guard(Guard&& other) noexcept : channel_(other.channel_) {
  other.channel_ = nullptr;
}

CommandChannel::Guard::~Guard() {
  if (channel_ != nullptr) channel_->Unlock();
}

CommandChannel::Guard CommandChannel::Lock() {
  const auto self = std::this_thread::get_id();
  if (owner_.load() == self) return Guard(nullptr);
  // A plain try_lock and a short real sleep rather than a timed mutex: the
  // wait must keep pumping events, and ThreadSanitizer cannot follow the
  // clock-based waits of timed mutexes.
  while (!mutex_.try_lock()) {
    if (pump_) pump_();
    if (closing_.load()) return Guard(nullptr);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  owner_ = self;
  return Guard(this);
}

void CommandChannel::Unlock() {
  owner_ = std::thread::id();
  mutex_.unlock();
}

bool CommandChannel::ReadOne(DeviceHandle handle, uint32_t lba) {
  return access_.ReadSectors(handle, lba, record_.Sector.data(), 1);
}

uint8_t CommandChannel::EncodeKnockSequence(const Guard& guard, DeviceHandle handle) {
  EncodeLbaList(record_);
  return PlayKnockSequence(guard, handle);
}

uint8_t CommandChannel::PlayKnockSequence(const Guard& /*guard*/, DeviceHandle handle) {
  uint32_t previous = 0;
  for (uint32_t i = 0; i < record_.LbaCount; ++i) {
    if (pump_) pump_();
    if (closing_.load()) return kResultKnockFailed;
    const uint32_t lba = record_.LbaList[i];
    // The controller cannot see two equal reads in a row as two symbols.
    if (lba == previous && !ReadOne(handle, kSeparatorLba)) return kResultKnockFailed;
    if (!ReadOne(handle, lba)) return kResultKnockFailed;
    previous = lba;
  }
  return kResultDone;
}

uint8_t CommandChannel::ExchangeCommand(const Guard& /*guard*/, DeviceHandle handle,
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
    if (closing_.load()) return kResultReplyFailed;
    (void)ReadOne(handle, kSeparatorLba);
    if (closing_.load()) return kResultReplyFailed;
    if (!ReadOne(handle, record_.ReplyLba)) return kResultReplyFailed;
    arrived = IsReplySector(record_.Sector);
    if (!arrived) {
      const uint64_t elapsedSeconds = (clock_.TickMs() - start) / 1000;
      gaveUp = elapsedSeconds > limitSeconds;
    }
    clock_.SleepMs(10);
  } while (!arrived && !gaveUp);
  if (!arrived) {
    record_.Status = kResultNoReply;
    return kResultNoReply;
  }
  record_.Status = NormaliseStatus(record_.Sector[kReplyStatusOffset]);
  return kResultDone;
}

uint8_t CommandChannel::Transact(const Guard& guard, DeviceHandle handle,
                                 const KnockCommand& command, uint32_t waitLimitMs,
                                 std::span<uint8_t> reply, std::size_t replyOffset) {
  if (!guard) return kResultKnockFailed;
  BuildCommand(record_, command);
  if (const uint8_t r = EncodeKnockSequence(guard, handle); r != kResultDone) return r;
  if (closing_.load()) return kResultKnockFailed;
  if (const uint8_t r = ExchangeCommand(guard, handle, waitLimitMs); r != kResultDone) return r;
  if (record_.Status != kStatusCarriedOut) return record_.Status;
  const std::size_t n =
      std::min(reply.size(), kSectorSize - std::min<std::size_t>(replyOffset, kSectorSize));
  std::copy_n(record_.Sector.begin() + static_cast<std::ptrdiff_t>(replyOffset), n, reply.begin());
  return kResultDone;
}

uint8_t CommandChannel::QueryController(uint32_t drive, uint8_t subCommand,
                                        std::span<uint8_t, kSectorSize> reply) {
  if (closing_.load()) return kResultNotOpened;
  const Guard guard = Lock();
  if (!guard) return kResultNotOpened;
  ScopedDevice device(access_, static_cast<int8_t>(DriveOf(drive)));
  if (!device.valid()) return kResultNotOpened;
  return Transact(guard, device.get(), ControllerQuery(subCommand), QueryWaitLimitMs(subCommand),
                  reply);
}

}  // namespace px
