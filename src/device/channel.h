#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "common/clock.h"
#include "common/ui.h"
#include "device/knock.h"
#include "device/scsi_commands.h"

namespace px {

// How long a command waits for an enclosure that another program holds
// before it reports the enclosure busy: longer than any single command of
// another program's (a presence query on a plain disk gives up after two
// seconds), far shorter than its firmware upgrade.
inline constexpr uint32_t kDriveWaitMs = 3000;

// What makes the channel give up, raised by its owner from any thread: the
// program closing ends every loop at its next step; a stop (pxraid's Ctrl+C
// or SIGTERM) ends every wait for another program or for an answer at its
// next look, so that no other program and no silent enclosure holds it up,
// and lets what is under way (a knock, a control write) finish, so that the
// controller never sees half a command.
struct StopSignals {
  std::atomic<bool> closing{false};
  std::atomic<bool> stopping{false};
};

// Why the channel, or a drive, could not be had.
enum class LockRefusal : uint8_t {
  None,
  Closing,    // the application is closing
  Reentered,  // this thread holds the channel already (a handler run from a command's pump)
  DriveBusy,  // another program holds the enclosure
};

// Why the channel got no reply to a command.
enum class ChannelFailure : uint8_t {
  NotOpened,    // closing, or the drive would not open or was held elsewhere
  KnockFailed,  // a knock read failed, or the program is closing
  ReplyFailed,  // closing or stopping during the wait, or LBA 17 unreadable
  NoReply,      // no valid reply before the wait limit
  DriveBusy,    // another program holds the enclosure
};

// What one command came to: the controller's reply, with its status, or the
// channel's reason for having none. The two are kept apart: a controller
// that says 0x00 ("not answered"), 0xF0 or 0xFF has replied, which no
// channel failure is, whatever byte the record keeps for either.
class CommandResult {
 public:
  // The controller replied with `status` (normalised); `copied`: its reply,
  // as much as the caller asked for, is in the caller's buffer.
  static CommandResult Reply(uint8_t status, bool copied) { return {status, copied, {}}; }
  static CommandResult Failed(ChannelFailure failure) { return {0, false, failure}; }

  // The controller carried the command out (status 0x20) and its reply is
  // in the buffer: what a query or a read must be before its buffer is
  // believed. Anything else leaves the buffer as it was, which is no answer.
  bool Answered() const { return !failure_ && copied_; }
  // The controller took the command: it carried it out, or said 0x00. What
  // a command that wants no reply (an SPI erase or write) needs.
  bool Taken() const { return !failure_ && (copied_ || status_ == 0x00); }
  bool Is(ChannelFailure failure) const { return failure_ == failure; }
  std::optional<ChannelFailure> failure() const { return failure_; }
  // The controller's normalised status; nothing when it did not reply.
  std::optional<uint8_t> status() const {
    return failure_ ? std::nullopt : std::optional<uint8_t>(copied_ ? kStatusCarriedOut : status_);
  }

 private:
  CommandResult(uint8_t status, bool copied, std::optional<ChannelFailure> failure)
      : status_(status), copied_(copied), failure_(failure) {}
  uint8_t status_;
  bool copied_;
  std::optional<ChannelFailure> failure_;
};

// The sector-knock command channel: a command is spelled by the order of
// one-sector reads, and the controller answers by substituting the sector at
// LBA 17. There is one record, and only one command may be under way at a
// time across all threads: a command played in the middle of another
// scrambles both knocks. The same holds between programs, so each command
// also claims its enclosure's drive from the other programs of the machine
// (Transport::TryClaimDrive). Holding a Guard is the proof of both.
class CommandChannel {
 public:
  CommandChannel(DeviceAccess& access, Clock& clock, MessagePump pump, const StopSignals& flags);

  // Exclusive use of the channel and of one drive. Waiting for the channel
  // keeps the window's events going (the other holder may be the detection
  // thread in a 4-second wait) and gives up when the application closes. A
  // thread that already holds the channel (an event handler run from inside
  // a command's message pump) is refused at once rather than deadlocking or
  // interleaving knocks. Waiting for a drive that another program holds
  // gives up after `waitMs` with LockRefusal::DriveBusy, and at once when the
  // program is stopping (LockRefusal::Closing).
  class Guard {
   public:
    Guard(Guard&& other) noexcept;
    Guard& operator=(Guard&&) = delete;
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard();
    explicit operator bool() const { return channel_ != nullptr; }
    LockRefusal refusal() const { return refusal_; }

   private:
    friend class CommandChannel;
    Guard(CommandChannel* channel, PhysicalDrive drive, LockRefusal refusal)
        : channel_(channel), drive_(drive), refusal_(refusal) {}
    CommandChannel* channel_;
    PhysicalDrive drive_;
    LockRefusal refusal_;
  };
  Guard Lock(PhysicalDrive drive, uint32_t waitMs = kDriveWaitMs);

  // A drive kept from the other programs across many commands (a whole
  // firmware upgrade), without holding the channel in between. The commands
  // of this thread on that drive go on as usual; other threads of this
  // program wait for it like other programs do.
  class DriveHold {
   public:
    DriveHold(DriveHold&& other) noexcept;
    DriveHold& operator=(DriveHold&&) = delete;
    DriveHold(const DriveHold&) = delete;
    DriveHold& operator=(const DriveHold&) = delete;
    ~DriveHold();
    explicit operator bool() const { return channel_ != nullptr; }
    LockRefusal refusal() const { return refusal_; }

   private:
    friend class CommandChannel;
    DriveHold(CommandChannel* channel, PhysicalDrive drive, LockRefusal refusal)
        : channel_(channel), drive_(drive), refusal_(refusal) {}
    CommandChannel* channel_;
    PhysicalDrive drive_;
    LockRefusal refusal_;
  };
  DriveHold HoldDrive(PhysicalDrive drive, ClaimPurpose purpose, uint32_t waitMs = kDriveWaitMs);

  // What to tell the user about a drive another program holds, naming
  // firmware work when that is what the holder said it does: "another
  // program is upgrading its firmware", and as a sentence, "Drive 2 is busy:
  // another program is upgrading its firmware."
  std::string DriveBusyReason(PhysicalDrive drive);
  std::string DriveBusyText(PhysicalDrive drive);

  // Builds the command in the record, plays its knock and waits up to
  // waitLimitMs for the reply, or until the program is stopping (ReplyFailed).
  // Only on controller status 0x20 is the reply copied: reply.size() bytes
  // from replyOffset of the reply sector.
  CommandResult Transact(const Guard& guard, DeviceHandle handle, const KnockCommand& command,
                         uint32_t waitLimitMs, std::span<uint8_t> reply,
                         std::size_t replyOffset = 0);

  // The whole controller query s for physical drive `drive`: claim, open,
  // command, close. DriveBusy when another program holds the drive.
  CommandResult QueryController(PhysicalDrive drive, uint8_t subCommand,
                                std::span<uint8_t, kSectorSize> reply);

  // Status of the last exchange, as the record holds it (kResultNoReply
  // when none came).
  uint8_t LastStatus() const { return record_.Status; }
  const CommandRecord& record() const { return record_; }

  DeviceAccess& access() { return access_; }
  Clock& clock() { return clock_; }
  const MessagePump& pump() const { return pump_; }
  bool closing() const { return flags_.closing.load(); }

 private:
  // The steps of a command, under the guard, each on the record as the last
  // BuildCommand left it: nothing when the step went through.
  std::optional<ChannelFailure> EncodeKnockSequence(const Guard& guard, DeviceHandle handle);
  std::optional<ChannelFailure> PlayKnockSequence(const Guard& guard, DeviceHandle handle);
  std::optional<ChannelFailure> ExchangeCommand(const Guard& guard, DeviceHandle handle,
                                                uint32_t waitLimitMs);

  // A drive this program holds: by which thread, how many times over, and
  // the transport's claim.
  struct HeldDrive {
    std::thread::id owner{};
    uint32_t depth = 0;
    ClaimToken token = kClaimRefused;
  };

  bool ReadOne(DeviceHandle handle, uint32_t lba);
  // A wait ends: the application closes, or the program was asked to stop.
  bool WaitEnds() const { return flags_.closing.load() || flags_.stopping.load(); }
  LockRefusal ClaimDrive(PhysicalDrive drive, ClaimPurpose purpose, uint32_t waitMs);
  void ReleaseDrive(PhysicalDrive drive);
  void Unlock();

  DeviceAccess& access_;
  Clock& clock_;
  MessagePump pump_;
  const StopSignals& flags_;

  std::mutex mutex_;
  std::condition_variable freed_;
  bool busy_ = false;
  std::thread::id owner_{};

  std::mutex claimsMutex_;
  // Drive numbers have four bits.
  std::array<HeldDrive, 16> held_{};

  CommandRecord record_;
};

}  // namespace px
