#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>

#include "common/clock.h"
#include "common/ui.h"
#include "device/knock.h"
#include "device/scsi_commands.h"

namespace px {

// The sector-knock command channel: a command is spelled by the order of
// one-sector reads, and the controller answers by substituting the sector at
// LBA 17. There is one record, and only one command may be under way at a
// time across all threads: a command played in the middle of another
// scrambles both knocks. Holding a Guard is the proof of that.
class CommandChannel {
 public:
  CommandChannel(DeviceAccess& access, Clock& clock, MessagePump pump,
                 const std::atomic<bool>& closing);

  // Exclusive use of the channel. Waiting for it keeps the window's events
  // going (the other holder may be the detection thread in a 4-second wait)
  // and gives up when the application closes. A thread that already holds
  // the channel (an event handler run from inside a command's message pump)
  // is refused at once rather than deadlocking or interleaving knocks.
  class Guard {
   public:
    Guard(Guard&& other) noexcept;
    Guard& operator=(Guard&&) = delete;
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard();
    explicit operator bool() const { return channel_ != nullptr; }

   private:
    friend class CommandChannel;
    explicit Guard(CommandChannel* channel) : channel_(channel) {}
    CommandChannel* channel_;
  };
  Guard Lock();

  // Builds the command in the record, plays its knock and waits up to
  // waitLimitMs for the reply. The result is a channel code, or the
  // controller's normalised status when it is not 0x20. Only on 0x20 is the
  // reply copied: reply.size() bytes from replyOffset of the reply sector.
  // A controller status of 0x00 therefore gives 0x00 with nothing copied.
  uint8_t Transact(const Guard& guard, DeviceHandle handle, const KnockCommand& command,
                   uint32_t waitLimitMs, std::span<uint8_t> reply, std::size_t replyOffset = 0);

  // The whole controller query s for physical drive `drive`: open, command,
  // close; on 0x00 with status 0x20 the 512-byte reply is copied.
  uint8_t QueryController(uint32_t drive, uint8_t subCommand,
                          std::span<uint8_t, kSectorSize> reply);

  // The steps of a command, for callers that hold the guard. Each uses the
  // record as the last BuildCommand left it.
  uint8_t EncodeKnockSequence(const Guard& guard, DeviceHandle handle);
  uint8_t PlayKnockSequence(const Guard& guard, DeviceHandle handle);
  uint8_t ExchangeCommand(const Guard& guard, DeviceHandle handle, uint32_t waitLimitMs);

  // Status of the last exchange, as the record holds it.
  uint8_t LastStatus() const { return record_.Status; }
  const CommandRecord& record() const { return record_; }

  DeviceAccess& access() { return access_; }
  Clock& clock() { return clock_; }
  const MessagePump& pump() const { return pump_; }
  bool closing() const { return closing_.load(); }

 private:
  bool ReadOne(DeviceHandle handle, uint32_t lba);
  void Unlock();

  DeviceAccess& access_;
  Clock& clock_;
  MessagePump pump_;
  const std::atomic<bool>& closing_;
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  CommandRecord record_;
};

}  // namespace px
