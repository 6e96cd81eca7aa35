#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "raid/context.h"
#include "raid/polled_elsewhere.h"

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

// What follows a poll (the event log, the enclosure events), told which
// devices (bit i: slot i) answered it and which another program held.
using AfterPollCall = std::function<void(uint8_t answeredMask, uint8_t busyMask)>;

// What one status poll found, and what its front end is to make of it.
struct PollReport {
  // The poll asked the devices; false when it stopped at once because the
  // drives were changing or being probed, or firmware work ran.
  bool ran = false;
  uint8_t answered = 0;  // bit i: device i answered every query
  uint8_t busy = 0;      // bit i: another program held device i's enclosure
  // Somebody answered: the status display is refreshed, wholly (true: the
  // first display, or the devices were found again) or only what changed.
  std::optional<bool> display;
  // Nobody answered and nobody is in a retry cycle: monitoring winds down
  // and the upgrade chooser takes the selection back. With
  // `monitoringEnds` also set, nothing is left to monitor, so the controls
  // that start monitoring or firmware work are taken away.
  bool windDown = false;
  bool monitoringEnds = false;
  // The device the poll asked last: the window's selected device follows it,
  // as it always has.
  std::optional<EnclosureSlot> lastAsked;
  // Polled elsewhere: the other process found other enclosures than those
  // laid out, so the front end is to detect again.
  bool enclosuresMoved = false;
};

// How a control-sector write went.
enum class ControlWrite {
  NotSent,  // no device, the channel or the enclosure could not be had, or the disk did not open
  Written,
  Failed,  // the disk opened, the WRITE(10) failed
};

// What serving one request of MonitorRequests came to.
struct MonitorResult {
  uint8_t served = 0;                          // the request's bit; 0 when nothing was served
  PollReport poll;                             // kPollStatus
  ControlWrite write = ControlWrite::NotSent;  // kWriteSettings, kSendHostEvent
  // The device a control write went to, once it was found.
  std::optional<EnclosureSlot> addressed;
};

// Where a settings write or a host event goes: a device-table slot (the
// window's active page, or each enclosure in turn for pxraid); nothing when
// no device is chosen.
using ControlTarget = std::optional<EnclosureSlot>;

// The status poll and the control-sector writes. Everything here runs on the
// window's thread, handed over by TRaidThread.
class RaidMonitor {
 public:
  RaidMonitor(const RaidContext& context, AfterPollCall afterPoll)
      : ctx_(context), afterPoll_(std::move(afterPoll)) {}

  // One poll of every device the client has in polling, then the event log.
  PollReport ReadStatus(MonitorClient& client);
  // The settings block (request 0x20) and the host event (request 0x1F) to
  // `target`'s device.
  ControlWrite WriteSettingsSector(MonitorClient& client, ControlTarget target) {
    return SettingsWrite(client, target).write;
  }
  ControlWrite WriteHostEventSector(ControlTarget target) { return HostEventWrite(target).write; }

  // Serves the most urgent request of MonitorRequests (poll, then settings,
  // then host event) and clears its flag; a control write goes to `target`.
  MonitorResult DispatchRequest(MonitorClient& client, ControlTarget target);

 private:
  // How a device met a poll: it answered every query, it did not (a retry
  // counts), or another program held it (no fault of the device's).
  enum class PollAnswer { Answered, Silent, Busy };
  // One query of a poll, after the pause the controller is owed.
  PollAnswer Ask(PhysicalDrive drive, uint8_t subCommand, Reply& reply);
  PollAnswer PollDevice(EnclosureSlot slot);
  // The device's records from the other process's last poll.
  PollAnswer TakePolled(EnclosureSlot slot,
                        const std::optional<std::vector<PolledEnclosure>>& polled);
  PollAnswer PollProgressAndStatus(EnclosureSlot slot, PhysicalDrive drive, Reply& reply);
  // How a control write went, and the device it went to once that was found.
  struct Written {
    ControlWrite write = ControlWrite::NotSent;
    std::optional<EnclosureSlot> addressed;
  };
  Written SettingsWrite(MonitorClient& client, ControlTarget target);
  Written HostEventWrite(ControlTarget target);
  // Refuses without a device, opens `target`'s device and writes the sector
  // that `fill` prepares.
  Written WriteControlSector(ControlTarget target, const std::function<void(Record&)>& fill);

  RaidContext ctx_;
  AfterPollCall afterPoll_;
};

// Queues a host event (both LBAs 0) for the polling thread to send.
void QueueHostEvent(MonitorState& monitor, uint8_t event);

}  // namespace px
