#include "raid/monitor.h"

#include <algorithm>
#include <numeric>
#include <string>

#include "common/bytes.h"
#include "common/text.h"
#include "raid/polled_elsewhere.h"
#include "raid/record_views.h"

namespace px {
namespace {

// An enclosure's retryCount passes this at its sixth failed poll in a row.
constexpr uint8_t kRetryLimit = 10;

// Status-bar panels of the poll's running counters.
constexpr int kMarkPanel = 0;
constexpr int kStagePanel = 2;
constexpr int kCounterPanel = 3;

// Control sector layout.
constexpr std::size_t kRequestCode = 2;
constexpr std::size_t kArgument = 3;
constexpr std::size_t kHostEventCode = 4;
constexpr std::size_t kScheduleBackup = 5;
constexpr std::size_t kPeriodCode = 6;
constexpr std::size_t kFirstLba = 7;  // 40 bits LE
constexpr std::size_t kFirstLbaEnd = 12;
constexpr std::size_t kLastLba = 13;  // 40 bits LE
constexpr std::size_t kLastLbaEnd = 18;
constexpr std::size_t kLbaSize = 5;
constexpr std::size_t kSum = 510;  // 16 bits LE over kFirstLba..kSum-1

void ClearRequest(MonitorState& monitor, uint8_t request) {
  monitor.MonitorRequests.fetch_and(static_cast<uint8_t>(~request));
}

// The other process's enclosures are no longer those on the table, in the
// order a detection of them lays them out.
bool Moved(const EnclosureSet& enclosures, const std::vector<PolledEnclosure>& polled) {
  std::vector<PhysicalDrive> theirs;
  for (const PolledEnclosure& enclosure : polled) {
    if (theirs.size() == kDeviceSlots) break;
    if (enclosure.drive.InRange() &&
        std::find(theirs.begin(), theirs.end(), enclosure.drive) == theirs.end()) {
      theirs.push_back(enclosure.drive);
    }
  }
  std::vector<PhysicalDrive> ours;
  for (uint32_t i = 0; i < enclosures.Count() && i < kDeviceSlots; ++i)
    ours.push_back(enclosures.Drive(EnclosureSlot{i}));
  return theirs != ours;
}

}  // namespace

void QueueHostEvent(MonitorState& monitor, uint8_t event) {
  monitor.HostEvent = event;
  monitor.HostEventFirstLba = 0;
  monitor.HostEventLastLba = 0;
  monitor.MonitorRequests.fetch_or(kSendHostEvent);
}

MonitorResult RaidMonitor::DispatchRequest(MonitorClient& client, ControlTarget target) {
  MonitorResult result;
  // The polling thread looked before it handed over; a detection the window
  // started in between must still not meet device work.
  if (ctx_.detection.handover.Pending() || ctx_.flags.closing.load()) return result;
  const uint8_t requests = ctx_.monitor.MonitorRequests.load();
  if ((requests & kPollStatus) != 0) {
    result.served = kPollStatus;
    result.poll = ReadStatus(client);
  } else if ((requests & kWriteSettings) != 0) {
    result.served = kWriteSettings;
    const Written written = SettingsWrite(client, target);
    result.write = written.write;
    result.addressed = written.addressed;
  } else if ((requests & kSendHostEvent) != 0) {
    result.served = kSendHostEvent;
    const Written written = HostEventWrite(target);
    result.write = written.write;
    result.addressed = written.addressed;
  }
  ClearRequest(ctx_.monitor, result.served);
  return result;
}

PollReport RaidMonitor::ReadStatus(MonitorClient& client) {
  MonitorState& monitor = ctx_.monitor;
  DeviceTable& devices = ctx_.devices;
  EnclosureSet& enclosures = ctx_.enclosures;
  StatusPanels& panels = ctx_.panels;
  PollReport report;

  const std::string polls = HexUpper(++monitor.PollCount, 2);
  panels.SetText(kMarkPanel, "3x," + polls);
  panels.SetText(kCounterPanel, "G = 2x, " + polls);
  if (client.DrivesChanging() || ctx_.detection.handover.Probing() ||
      ctx_.flags.firmwareBusy.load()) {
    return report;
  }
  report.ran = true;
  panels.SetText(kStagePanel, "SC = 1x" + HexUpper(devices.DeviceCount, 2) + polls);

  monitor.PollInProgress = true;
  // A client of the process that owns the disks asks it once for the whole
  // poll, not once for each device.
  std::optional<std::vector<PolledEnclosure>> polled;
  if (ctx_.elsewhere != nullptr) polled = ctx_.elsewhere->Enclosures();
  for (std::size_t i = 0; i < kShownDevices; ++i) {
    const EnclosureSlot slot{i};
    if (i >= devices.DeviceCount || !client.Polled(slot) || devices.IsUpgradeSlot(slot)) continue;
    report.lastAsked = slot;
    uint8_t& retries = enclosures[slot].retryCount;
    // A device that stopped answering is asked only every second poll.
    if (retries % 2 != 0) {
      ++retries;
      continue;
    }
    const uint8_t bit = static_cast<uint8_t>(1U << i);
    const PollAnswer answer =
        ctx_.elsewhere != nullptr ? TakePolled(slot, polled) : PollDevice(slot);
    if (answer == PollAnswer::Busy) {
      // Another program's work on the enclosure is no fault of the device's:
      // it is skipped this time without a retry counted.
      report.busy |= bit;
      panels.SetText(StatusPanels::kMessagePanel,
                     ctx_.channel.DriveBusyText(enclosures.Drive(slot)));
    } else if (answer == PollAnswer::Answered) {
      report.answered |= bit;
      retries = 0;
    } else if (++retries > kRetryLimit) {
      // Dropped until the user takes it back.
      client.Dropped(slot);
      retries = 0;
    }
  }
  if (polled) report.enclosuresMoved = Moved(enclosures, *polled);
  const std::string mask = HexUpper(report.answered, 2);
  panels.SetText(kMarkPanel, mask + "4x," + polls);
  if (ctx_.flags.firmwareBusy.load() || ctx_.flags.closing.load()) {
    monitor.PollInProgress = false;
    return report;
  }

  if (afterPoll_) afterPoll_(report.answered, report.busy);
  if (report.answered != 0) {
    report.display = monitor.FirstDisplay.load() || monitor.Redetected;
    monitor.Redetected = false;
    panels.SetText(kMarkPanel, mask + ",6x," + polls);
  } else {
    panels.SetText(kMarkPanel, mask + "5x," + polls);
    bool retrying = false;
    for (std::size_t i = 0; i < kShownDevices; ++i) {
      const uint8_t retry = enclosures[EnclosureSlot{i}].retryCount;
      retrying = retrying || (retry >= 1 && retry <= kRetryLimit);
    }
    report.windDown = !retrying;
    report.monitoringEnds = !retrying && !monitor.FirstDisplay.load() && !monitor.Redetected;
  }
  monitor.PollInProgress = false;
  return report;
}

RaidMonitor::PollAnswer RaidMonitor::Ask(PhysicalDrive drive, uint8_t subCommand, Reply& reply) {
  PauseBeforeQuery(ctx_);
  const CommandResult result = ctx_.channel.QueryController(drive, subCommand, reply);
  if (result.Is(ChannelFailure::DriveBusy)) return PollAnswer::Busy;
  // Only a reply the controller really sent is decoded.
  return result.Answered() ? PollAnswer::Answered : PollAnswer::Silent;
}

RaidMonitor::PollAnswer RaidMonitor::TakePolled(
    EnclosureSlot slot, const std::optional<std::vector<PolledEnclosure>>& polled) {
  const PhysicalDrive drive = ctx_.enclosures.Drive(slot);
  if (!polled) return PollAnswer::Silent;
  const auto found = std::find_if(polled->begin(), polled->end(),
                                  [drive](const PolledEnclosure& e) { return e.drive == drive; });
  if (found == polled->end() || !found->answered) return PollAnswer::Silent;
  ctx_.records.Status(drive) = found->status;
  ctx_.records.Config(drive) = found->config;
  return PollAnswer::Answered;
}

RaidMonitor::PollAnswer RaidMonitor::PollDevice(EnclosureSlot slot) {
  const PhysicalDrive drive = ctx_.enclosures.Drive(slot);
  Reply reply{};
  if (ctx_.enclosures[slot].revisionPending) {
    if (const PollAnswer answer = Ask(drive, kQueryIdentity, reply);
        answer != PollAnswer::Answered) {
      return answer;
    }
    StatusRecordEditor(ctx_.records.Status(drive)).SetRevision(IdentityReplyView(reply));
  }
  return PollProgressAndStatus(slot, drive, reply);
}

RaidMonitor::PollAnswer RaidMonitor::PollProgressAndStatus(EnclosureSlot slot, PhysicalDrive drive,
                                                           Reply& reply) {
  Record& record = ctx_.records.Status(drive);
  const StatusRecordEditor status(record);
  bool& progressPending = ctx_.enclosures[slot].progressPending;
  // A controller that reports a running rebuild but no progress would keep
  // this loop, and the window's thread, busy for good; so it is bounded and
  // the next poll carries on.
  for (int round = 0; round < kProgressRounds; ++round) {
    if (progressPending) {
      if (const PollAnswer answer = Ask(drive, kQueryProgress, reply);
          answer != PollAnswer::Answered) {
        return answer;
      }
      if (const ProgressReplyView progress(reply); progress.Present()) {
        // A reply past its total is an answer without a percentage: the
        // rebuild still runs, and the last percentage read of it stands, so
        // that neither the display nor the log nor an alert goes back and
        // forth with a reading that means nothing.
        if (const std::optional<uint8_t> percent = progress.Percent()) status.SetPercent(*percent);
        return PollAnswer::Answered;
      }
      progressPending = false;
    }
    if (const PollAnswer answer = Ask(drive, kQueryStatus, reply); answer != PollAnswer::Answered) {
      return answer;
    }
    DecodeStatusReply(reply, ctx_.records.Config(drive), record);
    if (status.ProgressFlags() == 0) {
      // What stands for a percentage not read is of the rebuild that runs,
      // never of the one before.
      status.SetPercent(0);
      return PollAnswer::Answered;
    }
    progressPending = true;
  }
  return PollAnswer::Answered;
}

RaidMonitor::Written RaidMonitor::SettingsWrite(MonitorClient& client, ControlTarget target) {
  const std::optional<SettingsFill> chosen = client.ChosenSettings();
  if (!chosen) return {};
  const Written written = WriteControlSector(target, [&chosen](Record& sector) {
    sector[kRequestCode] = kControlSettings;
    sector[kArgument] = 0;
    sector[kHostEventCode] = 0;
    sector[kScheduleBackup] = chosen->scheduleBackup;
    sector[kPeriodCode] = chosen->periodCode;
  });
  if (written.write == ControlWrite::NotSent) return written;
  ctx_.enclosures[*target].busyCountdown = kSettingsBusySeconds;
  if (written.write == ControlWrite::Written) {
    ctx_.panels.SetText(StatusPanels::kMessagePanel, " ");
  }
  return written;
}

RaidMonitor::Written RaidMonitor::HostEventWrite(ControlTarget target) {
  return WriteControlSector(target, [this](Record& sector) {
    const MonitorState& monitor = ctx_.monitor;
    sector[kRequestCode] = kControlHostEvent;
    sector[kArgument] = 0x01;
    sector[kHostEventCode] = monitor.HostEvent;
    StoreLittleEndian(sector.data() + kFirstLba, kLbaSize, monitor.HostEventFirstLba);
    sector[kFirstLbaEnd] = 0;
    StoreLittleEndian(sector.data() + kLastLba, kLbaSize, monitor.HostEventLastLba);
    sector[kLastLbaEnd] = 0;
  });
}

RaidMonitor::Written RaidMonitor::WriteControlSector(ControlTarget target,
                                                     const std::function<void(Record&)>& fill) {
  DeviceTable& devices = ctx_.devices;
  StatusPanels& panels = ctx_.panels;
  if (devices.DeviceCount == 0 || !target || target->index() >= devices.DeviceCount) {
    panels.SetText(StatusPanels::kMessagePanel, "Device not found!!!");
    ctx_.messages.Show("Message", "No Device found !", MessageIcon::None);
    return {};
  }
  Written written{ControlWrite::NotSent, target};
  if (ctx_.elsewhere != nullptr) {
    // The disks are another process's; nothing is written behind its back.
    panels.SetText(StatusPanels::kMessagePanel, "pxraidd owns the disks");
    return written;
  }
  const PhysicalDrive drive = ctx_.enclosures.Drive(*target);

  // The write must not land between two reads of a knock.
  const auto guard = ctx_.channel.Lock(drive);
  if (!guard) {
    if (guard.refusal() == LockRefusal::DriveBusy) {
      panels.SetText(StatusPanels::kMessagePanel, ctx_.channel.DriveBusyText(drive));
    }
    return written;
  }
  DeviceAccess& access = ctx_.channel.access();
  const ScopedDevice device(access, drive);
  if (!device.valid()) {
    panels.SetText(StatusPanels::kMessagePanel, "CreateFile blocked!");
    return written;
  }

  Record& sector = ctx_.monitor.ControlSector;
  sector[0] = 0x33;
  sector[1] = 0x58;
  fill(sector);
  const auto sum = std::accumulate(sector.begin() + kFirstLba, sector.begin() + kSum, 0U);
  StoreLittleEndian(sector.data() + kSum, 2, sum & 0xFFFF);
  const bool ok = access.WriteSectors(device.get(), kControlSectorLba, sector.data(), 1);
  if (!ok) panels.SetText(StatusPanels::kMessagePanel, "Error code 120");
  written.write = ok ? ControlWrite::Written : ControlWrite::Failed;
  return written;
}

}  // namespace px
