#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "raid/context.h"

namespace px {

inline constexpr uint32_t kControlSectorLba = 20;
// Request codes of the control sector (byte 2).
inline constexpr uint8_t kControlSettings = 0x20;
inline constexpr uint8_t kControlHostEvent = 0x1F;
// Seconds a device's setting controls stay disabled after a settings write.
inline constexpr uint8_t kSettingsBusySeconds = 4;
// A poll follows a running rebuild through at most this many progress and
// status rounds per device; the next poll goes on from there.
inline constexpr int kProgressRounds = 3;

// The event-log writer, told which devices (bit i: slot i) answered a poll.
using EventLogCall = std::function<void(uint8_t answeredMask)>;

// The status poll and the control-sector writes. Everything here runs on the
// window's thread, handed over by TRaidThread.
class RaidMonitor {
 public:
  RaidMonitor(const RaidContext& context, EventLogCall writeEventLog)
      : ctx_(context), writeEventLog_(std::move(writeEventLog)) {}

  // One poll of every checked device, then the event log and the display.
  void ReadStatus();
  // The settings block (request 0x20) and the host event (request 0x1F) to
  // the active page's device; true when the write went through.
  bool WriteSettingsSector();
  bool WriteHostEventSector();

  // Serves the most urgent request of MonitorRequests (poll, then settings,
  // then host event) and clears its flag.
  void DispatchRequest();

 private:
  // How a device met a poll: it answered every query, it did not (a retry
  // counts), or another program held it (no fault of the device's).
  enum class PollAnswer { Answered, Silent, Busy };
  // One query of a poll, after the pause the controller is owed.
  PollAnswer Ask(uint32_t drive, uint8_t subCommand, Reply& reply);
  PollAnswer PollDevice(std::size_t slot);
  PollAnswer PollProgressAndStatus(std::size_t slot, uint32_t drive, Reply& reply);
  // Refuses without a device, opens the active page's device and writes the
  // sector that `fill` prepares. Empty when nothing was written.
  std::optional<bool> WriteControlSector(const std::function<void(Record&)>& fill);

  RaidContext ctx_;
  EventLogCall writeEventLog_;
};

// Queues a host event (both LBAs 0) for the polling thread to send.
void QueueHostEvent(MonitorState& monitor, uint8_t event);

}  // namespace px
