#include "core/session.h"

#include "core/core.h"
#include "eventlog/event_log.h"
#include "eventlog/log_time.h"

namespace px {

MonitoringSession::MonitoringSession(Core& core, Greeting greeting)
    : core_(core), greeting_(greeting) {}

void MonitoringSession::RequestFirstDetection() {
  DetectionState& detection = core_.detection;
  detection.LetterCount = core_.discovery.ListLogicalDrives();
  detection.PhysicalDriveCount = core_.discovery.CountPhysicalDrives();
  detection.handover.SetProbing(true);
  detection.handover.Request();
}

WatchStep MonitoringSession::Tick(bool monitoring) {
  DetectionState& detection = core_.detection;
  const bool pollAsked = (core_.monitor.MonitorRequests.load() & kPollStatus) != 0;
  if (countdown_ != 0) {
    if (countdown_ < kCountdownFire) {
      ++countdown_;
      return {WatchStep::Kind::CountingDown, std::nullopt};
    }
    // A poll waiting to run, or firmware work, goes first; a detection would
    // knock the controllers between the upgrade's stages.
    if (pollAsked || core_.flags.firmwareBusy.load()) {
      return {WatchStep::Kind::Postponed, std::nullopt};
    }
    detection.handover.SetProbing(true);
    countdown_ = 0;
    // The owner of the disks says which enclosures there are, at the cost of
    // one question: no count of our own decides whether it is asked.
    if (core_.services.polledElsewhere != nullptr) {
      detection.handover.Request();
      return {WatchStep::Kind::Requested, std::nullopt};
    }
    const uint32_t letters = core_.discovery.ListLogicalDrives();
    const uint32_t drives = core_.discovery.CountPhysicalDrives();
    if (letters == detection.LetterCount.load() && drives == detection.PhysicalDriveCount.load()) {
      detection.handover.SetProbing(false);
      return {WatchStep::Kind::Unchanged, std::nullopt};
    }
    detection.LetterCount = letters;
    detection.PhysicalDriveCount = drives;
    detection.handover.Request();
    return {WatchStep::Kind::Requested, std::nullopt};
  }
  if (detection.handover.TakeResults()) {
    // The detection thread hands its results over in the tables.
    const DetectionReport found{core_.devices.DeviceCount.load(), detection.BusyDrives.load(),
                                detection.PhysicalDriveCount.load()};
    return {WatchStep::Kind::Detected, TakeDetection(found, monitoring)};
  }
  if (detection.handover.Pending()) return {WatchStep::Kind::Detecting, std::nullopt};
  // Nothing found yet, or a drive could not be probed because another
  // program held it: look again now and then.
  const bool lookAgain =
      core_.devices.DeviceCount.load() == 0 || (detection.BusyDrives.load() != 0 && !pollAsked);
  if (lookAgain && !core_.flags.firmwareBusy.load()) {
    if (noDeviceTicks_ > kLookAgainTicks) {
      detection.handover.Request();
      noDeviceTicks_ = 0;
      return {WatchStep::Kind::Requested, std::nullopt};
    }
    ++noDeviceTicks_;
  }
  return {WatchStep::Kind::Idle, std::nullopt};
}

Detected MonitoringSession::DetectNow(const ProbeOptions& probing) {
  // A front end that detects on its own thread is always monitoring.
  return TakeDetection(core_.discovery.DetectNow(probing), true);
}

std::optional<Detected> MonitoringSession::LookAgain(const ProbeOptions& probing) {
  const DetectionState& detection = core_.detection;
  if (detection.BusyDrives.load() == 0) {
    const uint32_t letters = core_.discovery.ListLogicalDrives();
    const uint32_t drives = core_.discovery.CountPhysicalDrives();
    if (letters == detection.LetterCount.load() && drives == detection.PhysicalDriveCount.load()) {
      return std::nullopt;
    }
  }
  return DetectNow(probing);
}

Detected MonitoringSession::TakeDetection(const DetectionReport& found, bool monitoring) {
  MonitorState& monitor = core_.monitor;
  const uint32_t count = found.enclosures;
  Detected detected{found, previousCount_, false, false};
  const bool starting = monitor.FirstDisplay.load();
  if (count > 0) {
    if (starting && greeting_ == Greeting::OnFirstLayout)
      QueueHostEvent(monitor, kHostFoundEnclosure);
    if (!starting && detected.Changed()) {
      monitor.Redetected = true;
      detected.redetected = true;
    }
    previousCount_ = count;
  } else {
    // The line is about the count: it says D1 whichever device went.
    if (!starting && detected.Changed() && monitoring) {
      QueueLogLine(core_.eventLog, DeviceRemovedLine(FormatTimestamp(core_.services.now(),
                                                                     core_.services.dateFormat)));
      detected.removalLogged = true;
    }
    previousCount_ = 0;
    noDeviceTicks_ = 0;
  }
  core_.detection.handover.SetProbing(false);
  return detected;
}

bool MonitoringSession::PollMayStart() const {
  return countdown_ == 0 && !core_.detection.handover.Probing() &&
         !core_.monitor.PollInProgress.load() && !core_.flags.closing.load();
}

std::optional<MonitorResult> MonitoringSession::Serve(MonitorClient& client, ControlTarget target) {
  // MonitoringActive alone is served too; the dispatch then does nothing.
  if (core_.detection.handover.Pending() || core_.monitor.MonitorRequests.load() == 0 ||
      core_.flags.closing.load()) {
    return std::nullopt;
  }
  return core_.raid.DispatchRequest(client, target);
}

PollReport MonitoringSession::Poll(MonitorClient& client) {
  core_.monitor.MonitorRequests.fetch_or(kPollStatus);
  return core_.raid.DispatchRequest(client, std::nullopt).poll;
}

void MonitoringSession::SendHostEvent(MonitorClient& client, uint8_t event, uint32_t slots) {
  for (std::size_t slot = 0; slot < kDeviceSlots; ++slot) {
    if ((slots & (1U << slot)) == 0) continue;
    QueueHostEvent(core_.monitor, event);
    core_.raid.DispatchRequest(client, EnclosureSlot{slot});
  }
}

void MonitoringSession::AfterPoll(MonitorClient& client, const PollReport& report) {
  if (greeting_ != Greeting::OnFirstAnswer || greeted_ || report.answered == 0) return;
  SendHostEvent(client, kHostFoundEnclosure, report.answered);
  greeted_ = true;
}

}  // namespace px
