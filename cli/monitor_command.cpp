#include "cli/monitor_command.h"

#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>

#include "cli/commands.h"
#include "cli/core_state.h"
#include "cli/enclosure_status.h"
#include "cli/events_client.h"
#include "cli/host.h"
#include "cli/member_history.h"
#include "cli/options.h"
#include "cli/stop_signal.h"
#include "common/files.h"
#include "common/text.h"
#include "core/flash_job.h"
#include "core/session.h"
#include "eventlog/event_log.h"
#include "monitor/alerting.h"
#include "monitor/metrics.h"
#include "raid/alerts.h"
#include "raid/monitor.h"

namespace px::cli {

using monitor::StatusReports;

namespace {

namespace fs = std::filesystem;

uint32_t AllDevices(const CoreState& core) {
  return (1U << core.devices.DeviceCount) - 1;
}

std::string Enclosures(uint32_t count) {
  return std::to_string(count) + (count == 1 ? " enclosure" : " enclosures");
}

int PriorityOf(Severity severity) {
  switch (severity) {
    case Severity::Critical:
      return kPriorityCritical;
    case Severity::Warning:
      return kPriorityWarning;
    case Severity::Info:
      break;
  }
  return kPriorityInfo;
}

monitor::AlertRoutes RoutesOf(const MonitorOptions& options) {
  return {options.exec, options.mailTo, options.mailFrom, options.sendmail,
          options.alertTimeoutSeconds};
}

// An alert is a line on standard error, with its priority under systemd.
monitor::AlertOutput OnStandardError() {
  return {[](Severity severity, const std::string& line) {
            std::cerr << PriorityPrefix(PriorityOf(severity)) << "pxraid: " << line << std::endl;
          },
          [](const std::string& text) { Complain(text); }, StopRequested};
}

}  // namespace

int RunMonitor(Host& host, const MonitorOptions& options) {
#ifdef _WIN32
  // Alert programs and sendmail are started the POSIX way only, so far.
  if (!options.exec.empty() || !options.mailTo.empty()) {
    Complain("--exec and --mail are not available on Windows yet");
    return kExitUsage;
  }
#endif
  InstallStopHandler();
  const fs::path directory =
      options.logDir.empty() ? DefaultLogDirectory() : fs::path(options.logDir);
  std::error_code error;
  fs::create_directories(directory, error);
  // A folder root may not trust is refused before anything is logged there.
  if (!error) error = CheckFolder(directory);
  if (error) {
    Complain("cannot use the log directory " + PathText(directory) + ": " + ReasonText(error));
    return kExitFailed;
  }

  CoreOptions coreOptions{};
  coreOptions.logDirectory = directory;
  // Every line the log gains also goes to standard output.
  coreOptions.logged = [](const std::vector<std::string>& lines) {
    const std::string priority = PriorityPrefix(kPriorityInfo);
    for (const std::string& line : lines) std::cout << priority << line << '\n';
    std::cout << std::flush;
  };
  // Alerts are told once the poll is over, away from the channel.
  std::vector<EnclosureEvent> changes;
  coreOptions.events = [&changes](const std::vector<EnclosureEvent>& events) {
    changes.insert(changes.end(), events.begin(), events.end());
  };
  CoreState core(host, std::move(coreOptions));
  monitor::Alerting alerting(RoutesOf(options), directory / monitor::kMailStateName,
                             OnStandardError());
  monitor::TextfileWriter metrics(options.textfile,
                                  [](const std::string& text) { Complain(text); });
  MonitorHistory history(MonitorHistoryFile(options, directory));
  Health health = Health::Unknown;

  MonitoringSession session(core, Greeting::OnFirstAnswer);
  // The last detection's findings, which each poll's reports go by.
  DetectionReport found = session.DetectNow(core.probing).found;
  ExplainDetection(core, found);
  if (found.enclosures == 0 && !host.PermissionAdvice(found.physicalDrives).empty()) {
    return kExitNoDevice;
  }
  // Looked for after every detection, each told once: a drive another
  // program held, and a flash run cut short meanwhile, show at the next.
  CutShortWatch cutShort;
  TellCutShortRuns(core, directory, cutShort);
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
  if (!options.oneshot) {
    Announce("monitoring " + Enclosures(found.enclosures) + " every " +
             std::to_string(options.intervalSeconds) + " s; log in " + PathText(directory));
  }

  for (int poll = 0; !StopRequested(); ++poll) {
    host.BeforePoll(poll);
    // A headless monitor has no device-change message: before each poll the
    // session looks at the host again, as the window does on one.
    if (poll > 0) {
      if (const std::optional<Detected> detected = session.LookAgain(core.probing)) {
        // A stop ends the probes' waits: what they found is no news.
        if (StopRequested()) break;
        found = detected->found;
        if (detected->Changed()) Complain(Enclosures(found.enclosures) + " found");
        TellCutShortRuns(core, directory, cutShort);
      }
    }
    core.client.RecheckDevices(core.enclosures);
    // Until a device has been shown there is nothing to log: the start
    // block waits for the first answer.
    if (found.enclosures > 0 || !core.monitor.FirstDisplay.load()) {
      const PollReport report = session.Poll(core.client);
      if (report.display) core.monitor.FirstDisplay = false;
      // A one-off check, like status, tells the controller nothing.
      if (!options.oneshot) session.AfterPoll(core.client, report);
      // Nor is a device that did not answer because a stop ended the wait.
      if (!StopRequested()) {
        StatusReports reports = ReportAll(core, found, report);
        health = reports.overall;
        const std::vector<Alert> warnings =
            history.Record(core.records, reports, changes, host.UnixSeconds());
        std::vector<Alert> told;
        if (poll == 0 && options.test) told = alerting.Test(reports);
        for (Alert& alert : alerting.AfterPoll(changes, warnings, reports, host.UnixSeconds())) {
          told.push_back(std::move(alert));
        }
        metrics.Write(reports, host.UnixSeconds());
        if (options.afterPoll) options.afterPoll(reports, told);
      }
    } else {
      metrics.Write({}, host.UnixSeconds());
      if (options.afterPoll) options.afterPoll(StatusReports{}, {});
    }
    changes.clear();
    if (StopRequested() || poll + 1 == options.polls || options.oneshot) break;
    host.Wait(uint64_t{options.intervalSeconds} * 1000);
  }

  if (!options.oneshot) {
    session.SendHostEvent(core.client, kHostShuttingDown, AllDevices(core));
    Announce("stopped");
  }
  host.WriteControlTrace();
  MarkStopped();
  // Every line went to standard output as it was logged; those that never
  // reached a file exist nowhere else, which a script must be told.
  if (const std::size_t unsaved = UnsavedLineCount(core.eventLog); unsaved > 0) {
    Complain(std::to_string(unsaved) + (unsaved == 1 ? " log line" : " log lines") +
             " could not be saved in " + PathText(directory) +
             "; they are only on standard output");
    if (!options.oneshot) return kExitFailed;
  }
  return options.oneshot ? static_cast<int>(health) : kExitOk;
}

void AddMonitorOptions(CLI::App& command, MonitorOptions& monitor) {
  command.add_option("--interval", monitor.intervalSeconds, "seconds between polls")
      ->capture_default_str()
      ->check(WholeNumber(0, 86400));
  command.add_option("--log-dir", monitor.logDir, "where the daily log files go");
  command.add_flag("--oneshot", monitor.oneshot,
                   "poll once, tell its events and alerts, and exit as status does (for "
                   "cron)");
  command.add_flag("--test", monitor.test, "raise a TestAlert for every enclosure at the start");
  command
      .add_option("--textfile", monitor.textfile,
                  "after every poll, write the metrics to DIR/pxraid.prom for the node "
                  "exporter's textfile collector")
      ->option_text("DIR");
  command
      .add_option("--exec", monitor.exec,
                  "run PROGRAM for every alert: PROGRAM EVENT DEVICE [PORT], with PXRAID_* in "
                  "its environment")
      ->option_text("PROGRAM");
  CLI::Option* mailOption =
      command
          .add_option("--mail", monitor.mailTo,
                      "mail critical conditions to ADDRESS, once and then daily while they "
                      "last")
          ->option_text("ADDRESS");
  command.add_option("--mail-from", monitor.mailFrom, "the mail's sender")
      ->option_text("ADDRESS")
      ->needs(mailOption);
  command.add_option("--sendmail", monitor.sendmail, "the program mail is handed to, with -t")
      ->option_text("PATH")
      ->capture_default_str()
      ->needs(mailOption);
  command
      .add_option("--alert-timeout", monitor.alertTimeoutSeconds,
                  "seconds the program and sendmail may take before they are killed")
      ->capture_default_str()
      ->check(WholeNumber(1, 3600));
  CLI::Option* historyOption =
      command
          .add_option("--history", monitor.history,
                      "keep the member history in FILE (default: beside the logs; root's in "
                      "/var/lib/pxraid)")
          ->option_text("FILE");
  command.add_flag("--no-history", monitor.noHistory, "keep no member history")
      ->excludes(historyOption);
}

MonitorCommand::MonitorCommand()
    : Command("monitor", "poll the enclosures and keep the daily event log until stopped") {}

void MonitorCommand::AddOptions(CLI::App& command) {
  command.formatter(BlankLineAfterOptions());
  AddMonitorOptions(command, options_);
  CLI::Option* eventsFlag = command.add_flag(
      "--events", followEvents_,
      "follow pxraidd's events (every alert its monitor raises) instead of polling here");
  command.add_flag("--json", eventsJson_, "with --events: one JSON object a line")
      ->needs(eventsFlag);
}

int MonitorCommand::Run(Invocation& run) {
  if (followEvents_) return FollowServiceEvents(eventsJson_);
  return RunMonitor(run.host(), options_);
}

std::unique_ptr<Command> MakeMonitorCommand() {
  return std::make_unique<MonitorCommand>();
}

}  // namespace px::cli
