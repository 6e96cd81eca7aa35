#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "cli/commands.h"
#include "cli/host.h"
#include "cli/member_history.h"
#include "cli/monitor_command.h"
#include "cli/options.h"
#include "cli/stop_signal.h"
#include "cli/virtual_scenarios.h"
#include "common/files.h"
#include "common/text.h"
#include "service/bus_service.h"
#include "service/config_file.h"

#ifndef PXRAID_PROGRAM
#define PXRAID_PROGRAM "/usr/bin/pxraid"
#endif
#ifndef PXRAID_VERSION
#define PXRAID_VERSION "unknown"
#endif

namespace {

using namespace px;

// What the configuration file sets, for each option the command line left
// alone. A file that is not there sets nothing; one that cannot be read, or
// a line of it that is not understood, is said and left out: it is no reason
// to leave the enclosures unwatched.
void ApplyConfig(const std::string& file, const CLI::App& app, cli::MonitorOptions& monitor) {
  const FileContent read = ReadWholeFile(file, ReadFor::Keeping);
  if (read.outcome == FileContent::Outcome::Missing) return;
  if (read.outcome == FileContent::Outcome::Unreadable) {
    cli::Complain("cannot read " + PathText(file) + ": " + ReasonText(read.error) +
                  "; going on without it");
    return;
  }
  const service::ServiceConfig config = service::ParseServiceConfig(read.bytes, PathText(file));
  for (const std::string& complaint : config.complaints) cli::Complain(complaint);
  const auto unset = [&app](const char* option) { return app.get_option(option)->count() == 0; };
  if (unset("--mail") && !config.mailTo.empty()) monitor.mailTo = config.mailTo;
  if (unset("--mail-from") && config.mailFrom) monitor.mailFrom = *config.mailFrom;
  if (unset("--exec") && config.program) monitor.exec = *config.program;
  if (unset("--textfile") && config.textfile) monitor.textfile = *config.textfile;
  if (unset("--interval") && config.intervalSeconds)
    monitor.intervalSeconds = *config.intervalSeconds;
}

int Run(int argc, char** argv) {
  CLI::App app{
      "Watches two-disk USB RAID enclosures as pxraid monitor does and serves their state, "
      "on the message bus as org.pxraid.PxRaid1, with its firmware jobs.",
      "pxraidd"};
  app.set_version_flag("--version", PXRAID_VERSION);

  std::string bus = "system";
  app.add_option("--bus", bus, "the message bus to serve on: system, session, or an address")
      ->option_text("BUS")
      ->capture_default_str();

  cli::GlobalOptions global;
  app.add_option("--virtual", global.virtualScenario,
                 "serve the virtual bus's SCENARIO (as pxraid --virtual) instead of this "
                 "machine's disks")
      ->option_text("SCENARIO")
      ->check(CLI::IsMember(cli::VirtualScenarioNames()));
  app.add_option("--simulate-time", global.simulateTime)->group("");
  app.add_option("--read-latency", global.readLatencyMicros)->group("");

  std::string pxraid = PXRAID_PROGRAM;
  app.add_option("--pxraid", pxraid, "the pxraid that runs the firmware jobs")
      ->option_text("PROGRAM")
      ->capture_default_str();

  std::string config = service::kConfigFile;
  app.add_option("--config", config,
                 "the configuration file (MAILADDR, MAILFROM, PROGRAM, TEXTFILE, INTERVAL); "
                 "options given here win over it")
      ->option_text("FILE")
      ->capture_default_str();

  cli::MonitorOptions monitor;
  // Monitoring ends after --polls polls (hidden, for tests), and what the
  // last one found is served until the service is stopped.
  cli::AddMonitorOptions(app, monitor);
  app.add_option("--polls", monitor.polls)
      ->group("")
      ->check(cli::Hidden("--polls", cli::WholeNumber(0, 1000000)));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error);
  }

  ApplyConfig(config, app, monitor);

  try {
    // Before the bus thread can ask for a stop, so that its request stops
    // the monitor rather than the process.
    cli::InstallStopHandler();
    cli::Host host(global);
    const std::filesystem::path logDirectory =
        monitor.logDir.empty() ? cli::DefaultLogDirectory() : std::filesystem::path(monitor.logDir);
    // A client that hangs up on a job's question must not end the service.
    cli::IgnoreClosedOutput();
    // Firmware jobs run pxraid on the enclosures the service watches.
    service::JobSettings jobs{{pxraid}, logDirectory.string()};
    if (!global.virtualScenario.empty()) {
      jobs.program.insert(jobs.program.end(), {"--virtual", global.virtualScenario});
    }
    if (!global.simulateTime.empty()) {
      jobs.program.insert(jobs.program.end(), {"--simulate-time", global.simulateTime});
    }
    if (global.readLatencyMicros > 0) {
      jobs.program.insert(jobs.program.end(),
                          {"--read-latency", std::to_string(global.readLatencyMicros)});
    }
    service::BusService service(bus, PXRAID_VERSION, cli::MonitorHistoryFile(monitor, logDirectory),
                                std::move(jobs), logDirectory, [] { ::kill(::getpid(), SIGTERM); });
    monitor.afterPoll = [&service, &host](const px::monitor::StatusReports& reports,
                                          const std::vector<Alert>& alerts) {
      service.Publish(reports, alerts, host.UnixSeconds(), host.Now());
    };
    int code = cli::RunMonitor(host, monitor);
    if (code == cli::kExitOk && monitor.polls > 0) {
      while (!cli::StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    service.Stop();
    if (const std::string failure = service.Failure(); !failure.empty()) {
      cli::Complain(failure);
      code = cli::kExitFailed;
    }
    return code;
  } catch (const std::invalid_argument& error) {
    cli::Complain(error.what());
    return cli::kExitUsage;
  } catch (const std::exception& error) {
    cli::Complain(error.what());
    return cli::kExitFailed;
  }
}

}  // namespace

int main(int argc, char** argv) {
  return Run(argc, argv);
}
