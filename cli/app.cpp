#include "cli/app.h"

#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>

#include "cli/commands.h"
#include "cli/firmware_args.h"
#include "cli/host.h"
#include "cli/log_date.h"
#include "cli/stop_signal.h"
#include "cli/virtual_scenarios.h"

#ifndef PXRAID_VERSION
#define PXRAID_VERSION "unknown"
#endif

namespace px::cli {
namespace {

std::string ScenarioHelp() {
  std::string help =
      "run against the virtual bus instead of this machine's disks; SCENARIO is one of:";
  for (const VirtualScenario& scenario : VirtualScenarios()) {
    help += "\n  " + std::string(scenario.name) + ": " + std::string(scenario.summary);
  }
  return help;
}

CLI::Validator Checked(std::string (*check)(const std::string&), const std::string& name) {
  return CLI::Validator(check, name);
}

}  // namespace

int Run(int argc, char** argv) {
  CLI::App app{"Status, event log and firmware of two-disk USB RAID enclosures.", "pxraid"};
  app.set_version_flag("--version", PXRAID_VERSION);
  app.require_subcommand(1);
  // Global options may also follow the command: pxraid status --virtual ...
  app.fallthrough();

  GlobalOptions global;
  CLI::Option* virtualOption = app.add_option("--virtual", global.virtualScenario, ScenarioHelp())
                                   ->option_text("SCENARIO")
                                   ->check(CLI::IsMember(VirtualScenarioNames()));
  CLI::Option* recordOption =
      app.add_option("--record", global.record,
                     "record every device command and answer of this run in FILE, for a bug "
                     "report")
          ->option_text("FILE");
  app.add_option("--replay", global.replay,
                 "play a recording back instead of talking to any disk; a command that "
                 "differs from the recording ends the run")
      ->option_text("FILE")
      ->check(CLI::ExistingFile)
      ->excludes(virtualOption)
      ->excludes(recordOption);
  app.add_option("--simulate-time", global.simulateTime)->group("");
  app.add_option("--control-trace", global.controlTrace)->group("");
  app.add_option("--held-elsewhere", global.heldElsewhere)->group("");

  CLI::App* list = app.add_subcommand("list", "one line per enclosure");

  StatusOptions status;
  CLI::App* statusCommand =
      app.add_subcommand("status",
                         "read every enclosure's status; exit 0 OK, 1 WARNING, "
                         "2 CRITICAL, 3 UNKNOWN");
  statusCommand->add_flag("--json", status.json, "machine-readable output");

  MonitorOptions monitor;
  CLI::App* monitorCommand = app.add_subcommand(
      "monitor", "poll the enclosures and keep the daily event log until stopped");
  monitorCommand->add_option("--interval", monitor.intervalSeconds, "seconds between polls")
      ->capture_default_str()
      ->check(CLI::Range(0, 86400));
  monitorCommand->add_option("--log-dir", monitor.logDir, "where the daily log files go");
  monitorCommand->add_option("--polls", monitor.polls)->group("")->check(CLI::NonNegativeNumber);

  LogOptions log;
  CLI::App* logCommand = app.add_subcommand("log", "print a day's event log");
  logCommand->add_option("--log-dir", log.logDir, "where the daily log files are");
  logCommand->add_option("--date", log.date, "the day, YYMMDD (default: today)")
      ->check(Checked(&CheckLogDate, "YYMMDD"));
  logCommand->add_flag("--follow,-f", log.follow, "keep printing new lines until stopped");

  CLI::App* firmware = app.add_subcommand("firmware", "check, upgrade or build firmware");
  firmware->require_subcommand(1);

  FirmwareCheckOptions check;
  CLI::App* checkCommand =
      firmware->add_subcommand("check", "validate a firmware file as the loader does");
  checkCommand->add_option("FILE", check.file, "firmware file")->required();
  CLI::Option* checkDevice =
      checkCommand->add_option("--device", check.device, "compare with enclosure N (from 1)")
          ->check(CLI::Range(1, 8));
  CLI::Option* checkVersion =
      checkCommand
          ->add_option("--device-version", check.deviceVersion,
                       "compare with a device of this firmware version (hex)")
          ->check(CLI::Validator([](std::string& v) { return CheckHexArgument(v, 8); }, "HEX"));
  CLI::Option* checkProduct =
      checkCommand
          ->add_option("--device-product", check.deviceProduct,
                       "... and this product code (hex, e.g. 5000)")
          ->check(CLI::Validator([](std::string& v) { return CheckHexArgument(v, 4); }, "HEX"));
  checkDevice->excludes(checkVersion)->excludes(checkProduct);
  checkVersion->needs(checkProduct);
  checkProduct->needs(checkVersion);

  FirmwareUpgradeOptions upgrade;
  CLI::App* upgradeCommand =
      firmware->add_subcommand("upgrade", "erase, program and verify the controller's flash");
  upgradeCommand->add_option("FILE", upgrade.file, "firmware file")->required();
  upgradeCommand->add_option("--device", upgrade.device, "enclosure N (from 1)")
      ->capture_default_str()
      ->check(CLI::Range(1, 8));
  upgradeCommand->add_flag("--yes,-y", upgrade.yes, "do not ask for confirmation");

  FirmwareBuildOptions build;
  CLI::App* buildCommand =
      firmware->add_subcommand("build", "build a flash image from a head file and sub-codes");
  buildCommand->add_option("--head", build.head, "the head file (SPIHEAD.BIN)")
      ->option_text("FILE")
      ->required();
  buildCommand
      ->add_option("--sub", build.subs,
                   "a sub-code FILE[:TYPE[:FLAG]]; TYPE as 160 or A0H, FLAG TRUE or FALSE")
      ->option_text("FILE[:TYPE[:FLAG]]")
      ->check(CLI::Validator([](std::string& v) { return CheckSubCodeArgument(v); }, ""));
  buildCommand->add_option("--size", build.size, "image size in bits, or auto")
      ->option_text("auto|1M|2M|4M|8M")
      ->check(CLI::IsMember({"auto", "1M", "2M", "4M", "8M"}));
  buildCommand->add_flag("--jumper,!--no-jumper", build.jumper, "RAID mode set by jumper");
  buildCommand->add_flag("--chip,!--no-chip", build.chip, "ZL7314B chip");
  buildCommand->add_option("--fan-supported", build.fanSupported, "FAN supported")
      ->option_text("N")
      ->capture_default_str();
  buildCommand->add_option("--fan-limit", build.fanLimit, "FAN alarm limit, RPM")
      ->option_text("N")
      ->capture_default_str();
  buildCommand
      ->add_option("--thermal-supported", build.thermalSupported, "thermal sensor supported")
      ->option_text("N")
      ->capture_default_str();
  buildCommand
      ->add_option("--thermal-limit", build.thermalLimit, "thermal alarm limit, degrees Celsius")
      ->option_text("N")
      ->capture_default_str();
  buildCommand->add_flag("--schedule-backup", build.scheduleBackup, "schedule backup supported");
  buildCommand->add_flag("--fast-backup", build.fastBackup, "fast backup supported");
  buildCommand->add_option("--seed", build.seed, "seed of the pseudo-random fill")
      ->option_text("N")
      ->check(CLI::Validator([](std::string& v) { return CheckNumberArgument(v); }, "N"));
  buildCommand->add_option("-o,--output", build.output, "the image file (.bin)")
      ->option_text("OUT")
      ->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? kExitOk : kExitUsage;
  }

  try {
    if (buildCommand->parsed()) return RunFirmwareBuild(build);
    Host host(global);
    if (list->parsed()) return RunList(host);
    if (statusCommand->parsed()) return RunStatus(host, status);
    if (monitorCommand->parsed()) return RunMonitor(host, monitor);
    if (logCommand->parsed()) return RunLog(host, log);
    if (checkCommand->parsed()) return RunFirmwareCheck(host, check);
    if (upgradeCommand->parsed()) return RunFirmwareUpgrade(host, upgrade);
  } catch (const std::invalid_argument& error) {
    Complain(error.what());
    return kExitUsage;
  } catch (const std::exception& error) {
    Complain(error.what());
    return kExitFailed;
  }
  return kExitUsage;
}

}  // namespace px::cli
