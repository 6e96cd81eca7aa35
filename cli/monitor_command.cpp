#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

#include "cli/commands.h"
#include "cli/core_state.h"
#include "cli/host.h"
#include "cli/stop_signal.h"
#include "common/text.h"
#include "eventlog/event_log.h"
#include "raid/monitor.h"

namespace px::cli {
namespace {

namespace fs = std::filesystem;

// The start and restart lines name the program as its window caption does,
// so the windowed program and the tool keep one log format.
constexpr char kBaseCaption[] = "Utitity v0.50.4";

// Tells the devices whose bit is set about the host, through the same
// control-sector request the window queues, each as the active device.
void SendHostEvent(CoreState& core, RaidMonitor& monitor, uint8_t event, uint32_t slots) {
  for (std::size_t slot = 0; slot < kDeviceSlots; ++slot) {
    if ((slots & (1U << slot)) == 0) continue;
    core.view.SetActivePage(static_cast<int>(slot));
    QueueHostEvent(core.monitor, event);
    monitor.DispatchRequest();
  }
  core.view.SetActivePage(0);
}

uint32_t AllDevices(const CoreState& core) {
  return (1U << core.devices.DeviceCount) - 1;
}

std::string Enclosures(uint32_t count) {
  return std::to_string(count) + (count == 1 ? " enclosure" : " enclosures");
}

}  // namespace

int RunMonitor(Host& host, const MonitorOptions& options) {
  InstallStopHandler();
  const fs::path directory =
      options.logDir.empty() ? DefaultLogDirectory() : fs::path(options.logDir);
  std::error_code error;
  fs::create_directories(directory, error);
  if (error) {
    Complain("cannot use the log directory " + PathText(directory) + ": " + error.message());
    return kExitFailed;
  }

  CoreState core(host);
  EventLogState logState;
  const LocaleDateFormat format;
  EventLogWriter writer(logState, core.devices, core.records, kBaseCaption, directory, format,
                        core.panels);
  uint8_t answered = 0;
  RaidMonitor monitor(core.context, [&](uint8_t mask) {
    answered = mask;
    const EventLogRun run{host.Now(), core.monitor.FirstDisplay.load(), core.monitor.Redetected};
    const std::size_t added = writer.WriteEventLog(mask, run);
    for (std::size_t i = logState.LogLines.size() - added; i < logState.LogLines.size(); ++i) {
      std::cout << logState.LogLines[i] << '\n';
    }
    std::cout << std::flush;
  });

  uint32_t previousCount = DetectAndExplain(core);
  if (previousCount == 0 && !host.PermissionAdvice(core.detection.PhysicalDriveCount).empty()) {
    return kExitNoDevice;
  }
  // What goes wrong later (a log file that cannot be written, a control
  // write that fails) shows in the message panel.
  std::string lastComplaint;
  core.panels.SetListener([&lastComplaint](int panel, std::string_view text) {
    if (panel != StatusPanels::kMessagePanel || text.empty() || text == " " ||
        text == lastComplaint) {
      return;
    }
    lastComplaint = text;
    Complain(lastComplaint);
  });
  Complain("monitoring " + Enclosures(previousCount) + " every " +
           std::to_string(options.intervalSeconds) + " s; log in " + PathText(directory));

  bool greeted = false;
  for (int poll = 0; !StopRequested(); ++poll) {
    host.BeforePoll(poll);
    // A headless monitor has no device-change message: it compares the
    // drive lists before each poll, and looks again while nothing is found.
    if (poll > 0 && (core.devices.DeviceCount == 0 || core.DrivesChanged())) {
      const uint32_t count = core.Detect();
      const bool starting = core.monitor.FirstDisplay.load();
      if (count != previousCount) Complain(Enclosures(count) + " found");
      if (count > 0 && !starting && count != previousCount) core.monitor.Redetected = true;
      if (count == 0 && !starting && count != previousCount) {
        QueueLogLine(logState, DeviceRemovedLine(FormatTimestamp(host.Now(), format)));
      }
      previousCount = count;
    }
    core.view.RecheckDevices(core.monitor);
    // Until a device has been shown there is nothing to log: the start
    // block waits for the first answer.
    if (core.devices.DeviceCount > 0 || !core.monitor.FirstDisplay.load()) {
      monitor.ReadStatus();
      if (core.view.TakeShown()) core.monitor.FirstDisplay = false;
      if (!greeted && answered != 0) {
        SendHostEvent(core, monitor, kHostFoundEnclosure, answered);
        greeted = true;
      }
    }
    if (StopRequested() || poll + 1 == options.polls) break;
    host.Wait(uint64_t{options.intervalSeconds} * 1000);
  }

  SendHostEvent(core, monitor, kHostShuttingDown, AllDevices(core));
  Complain("stopped");
  host.WriteControlTrace();
  MarkStopped();
  // Every line went to standard output as it was logged; those that never
  // reached a file exist nowhere else, which a script must be told.
  if (const std::size_t unsaved = UnsavedLineCount(logState); unsaved > 0) {
    Complain(std::to_string(unsaved) + (unsaved == 1 ? " log line" : " log lines") +
             " could not be saved in " + PathText(directory) +
             "; they are only on standard output");
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace px::cli
