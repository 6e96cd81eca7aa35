#include "service/daemon.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <utility>

#include "cli/commands.h"
#include "cli/member_history.h"
#include "cli/options.h"
#include "cli/stop_signal.h"
#include "cli/virtual_scenarios.h"
#include "common/files.h"
#include "common/text.h"
#include "service/bus_service.h"
#include "service/config_file.h"

namespace px::service {

namespace {

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
  const ServiceConfig config = ParseServiceConfig(read.bytes, PathText(file));
  for (const std::string& complaint : config.complaints) cli::Complain(complaint);
  const auto unset = [&app](const char* option) { return app.get_option(option)->count() == 0; };
  if (unset("--mail") && !config.mailTo.empty()) monitor.mailTo = config.mailTo;
  if (unset("--mail-from") && config.mailFrom) monitor.mailFrom = *config.mailFrom;
  if (unset("--exec") && config.program) monitor.exec = *config.program;
  if (unset("--textfile") && config.textfile) monitor.textfile = *config.textfile;
  if (unset("--interval") && config.intervalSeconds)
    monitor.intervalSeconds = *config.intervalSeconds;
}

}  // namespace

Daemon::Daemon(std::string version, std::string pxraid)
    : version_(std::move(version)),
      app_(
          "Watches two-disk USB RAID enclosures as pxraid monitor does and serves their state, "
          "on the message bus as org.pxraid.PxRaid1, with its firmware jobs.",
          "pxraidd"),
      pxraid_(std::move(pxraid)),
      config_(kConfigFile) {
  app_.set_version_flag("--version", version_);
  app_.formatter(cli::BlankLineAfterOptions());
  app_.add_option("--bus", bus_, "the message bus to serve on: system, session, or an address")
      ->option_text("BUS")
      ->capture_default_str();
  app_.add_option("--virtual", global_.virtualScenario,
                  "serve the virtual bus's SCENARIO (as pxraid --virtual) instead of this "
                  "machine's disks")
      ->option_text("SCENARIO")
      ->check(CLI::IsMember(cli::VirtualScenarioNames()));
  app_.add_option("--pxraid", pxraid_, "the pxraid that runs the firmware jobs")
      ->option_text("PROGRAM")
      ->capture_default_str();
  app_.add_option("--config", config_,
                  "the configuration file (MAILADDR, MAILFROM, PROGRAM, TEXTFILE, INTERVAL); "
                  "options given here win over it")
      ->option_text("FILE")
      ->capture_default_str();
  cli::AddMonitorOptions(app_, monitor_);
}

int Daemon::Run(int argc, char** argv) {
  try {
    app_.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app_.exit(error);
  }
  ApplyConfig(config_, app_, monitor_);
  try {
    return Serve();
  } catch (const std::invalid_argument& error) {
    cli::Complain(error.what());
    return cli::kExitUsage;
  } catch (const std::exception& error) {
    cli::Complain(error.what());
    return cli::kExitFailed;
  }
}

int Daemon::Serve() {
  // Before the bus thread can ask for a stop, so that its request stops
  // the monitor rather than the process.
  cli::InstallStopHandler();
  cli::Host host(global_);
  const std::filesystem::path logDirectory =
      monitor_.logDir.empty() ? cli::DefaultLogDirectory() : std::filesystem::path(monitor_.logDir);
  // A client that hangs up on a job's question must not end the service.
  cli::IgnoreClosedOutput();
  // Firmware jobs run pxraid on the enclosures the service watches.
  JobSettings jobs{{pxraid_}, logDirectory.string()};
  if (!global_.virtualScenario.empty()) {
    jobs.program.insert(jobs.program.end(), {"--virtual", global_.virtualScenario});
  }
  jobs.program.insert(jobs.program.end(), jobArguments_.begin(), jobArguments_.end());
  BusService service(bus_, version_, cli::MonitorHistoryFile(monitor_, logDirectory),
                     std::move(jobs), logDirectory, [] { ::kill(::getpid(), SIGTERM); });
  monitor_.afterPoll = [&service, &host](const px::monitor::StatusReports& reports,
                                         const std::vector<Alert>& alerts) {
    service.Publish(reports, alerts, host.UnixSeconds(), host.Now());
  };
  int code = cli::RunMonitor(host, monitor_);
  // A monitor bounded to so many polls ended on its own: what the last one
  // found is served until the service is stopped.
  if (code == cli::kExitOk && monitor_.polls > 0) {
    while (!cli::StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  service.Stop();
  if (const std::string failure = service.Failure(); !failure.empty()) {
    cli::Complain(failure);
    code = cli::kExitFailed;
  }
  return code;
}

}  // namespace px::service
