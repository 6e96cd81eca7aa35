#include "cli/app.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "cli/commands.h"
#include "cli/events_client.h"
#include "cli/firmware_args.h"
#include "cli/firmware_client.h"
#include "cli/host.h"
#include "cli/log_date.h"
#include "cli/member_history.h"
#include "cli/status_client.h"
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

// A whole decimal number from `min` to `max`, told apart from a word that is
// no number at all.
CLI::Validator WholeNumber(uint64_t min, uint64_t max) {
  const std::string range = std::to_string(min) + " to " + std::to_string(max);
  return CLI::Validator(
      [min, max, range](const std::string& text) -> std::string {
        const bool negative = !text.empty() && text[0] == '-';
        const std::string digits = negative ? text.substr(1) : text;
        uint64_t value = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || end != digits.data() + digits.size() ||
            (error != std::errc() && error != std::errc::result_out_of_range)) {
          return "'" + text + "' is not a number";
        }
        if (negative || error != std::errc() || value < min || value > max) {
          return text + " is not in the range " + range;
        }
        return {};
      },
      "N in " + range);
}

// A link to a disk's node (/dev/disk/by-id/...) names the node it leads to.
std::string ResolvedNode(std::string text) {
  if (!text.starts_with("/")) return text;
  std::error_code error;
  const std::filesystem::path node = std::filesystem::canonical(text, error);
  return error ? text : node.string();
}

// An enclosure told by what stays its own or can be read off the machine:
// its stable id, its /dev node or a member's serial number
// (ChooseEnclosure).
CLI::Option* AddEnclosureChoice(CLI::App& command, std::string& enclosure) {
  return command
      .add_option("--enclosure", enclosure,
                  "the enclosure whose stable id (as status --json shows it) or /dev node is "
                  "ID, or one of whose disks has ID as serial number")
      ->option_text("ID")
      ->transform(CLI::Validator(
          [](std::string& text) {
            text = ResolvedNode(text);
            return std::string();
          },
          ""));
}

// How a firmware command is told its enclosure: by number, or as above.
void AddEnclosureChoice(CLI::App& command, int& device, std::string& enclosure, bool& direct) {
  command.add_flag("--direct", direct,
                   "work on the enclosure here even when pxraidd runs (which otherwise runs "
                   "the command, for users polkit allows, and goes on if this one is stopped)");
  CLI::Option* number = command.add_option("--device", device, "enclosure N (from 1)")
                            ->capture_default_str()
                            ->check(WholeNumber(1, 8));
  AddEnclosureChoice(command, enclosure)->excludes(number);
}

// CLI11 names the option whose value its check refuses, except a hidden
// one, whose name it gives as empty (": 5000000 is not in the range ..."):
// a hidden option's check names the option itself, and the empty name goes.
CLI::Validator Hidden(const std::string& name, const CLI::Validator& check) {
  return CLI::Validator(
      [name, check](std::string& text) -> std::string {
        const std::string refused = check(text);
        return refused.empty() ? refused : name + ": " + refused;
      },
      "");
}

constexpr std::string_view kUnnamed = ": ";

// The command the arguments reached: the deepest one named.
const CLI::App& ReachedCommand(const CLI::App& app) {
  const CLI::App* command = &app;
  while (!command->get_subcommands().empty()) command = command->get_subcommands().front();
  return *command;
}

std::string CommandPath(const CLI::App& command) {
  std::string path;
  for (const CLI::App* level = &command; level->get_parent() != nullptr;
       level = level->get_parent()) {
    path = path.empty() ? level->get_name() : level->get_name() + " " + path;
  }
  return path;
}

std::string SubcommandNames(const CLI::App& command) {
  std::string names;
  for (const CLI::App* sub : command.get_subcommands({})) {
    names += (names.empty() ? "" : ", ") + sub->get_name();
  }
  return names;
}

// What was wrong with the arguments, naming the word that was: CLI11 says "A
// subcommand is required" for a command it does not know, and "The
// following argument was not expected" for an unknown option.
std::string UsageMessage(const CLI::App& app, const CLI::ParseError& error) {
  const CLI::App& command = ReachedCommand(app);
  const std::string path = CommandPath(command);
  const std::vector<std::string> extra = app.remaining();
  const bool option = !extra.empty() && extra.front().rfind('-', 0) == 0;
  const std::string of = path.empty() ? std::string() : path + " ";
  if (command.get_require_subcommand_min() > 0 && !option) {
    if (extra.empty()) {
      return (path.empty() ? "a command is required" : path + " needs a command") + ": " +
             SubcommandNames(command);
    }
    return "unknown " + of + "command '" + extra.front() + "'; the " + of + "commands are " +
           SubcommandNames(command);
  }
  if (!extra.empty()) {
    return (option ? "unknown option '" : "unexpected argument '") + extra.front() + "'" +
           (path.empty() ? std::string() : " for " + path);
  }
  const std::string_view what = error.what();
  return std::string(what.starts_with(kUnnamed) ? what.substr(kUnnamed.size()) : what);
}

}  // namespace

void AddMonitorOptions(CLI::App& command, MonitorOptions& monitor) {
  command.add_option("--interval", monitor.intervalSeconds, "seconds between polls")
      ->capture_default_str()
      ->check(WholeNumber(0, 86400));
  command.add_option("--log-dir", monitor.logDir, "where the daily log files go");
  command.add_option("--polls", monitor.polls)
      ->group("")
      ->check(Hidden("--polls", WholeNumber(0, 1000000)));
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
  bool quiet = false;
  app.add_flag("-q,--quiet", quiet,
               "print nothing on standard output (status: answer by the exit status alone); "
               "errors and questions still go to standard error");
  app.add_option("--simulate-time", global.simulateTime)->group("");
  app.add_option("--control-trace", global.controlTrace)->group("");
  app.add_option("--held-elsewhere", global.heldElsewhere)->group("");
  app.add_option("--read-latency", global.readLatencyMicros)
      ->group("")
      ->check(Hidden("--read-latency", WholeNumber(0, 1000000)));

  // One enclosure, named by its physical drive: the only thing known of it
  // before anything is asked (an enclosure's number from 1 depends on which
  // drives before it are enclosures).
  const std::string driveHelp =
      "only the enclosure on physical drive N, as list shows it under DRIVE; no other drive is "
      "sent a command";

  ListOptions listOptions;
  CLI::App* list = app.add_subcommand("list", "one line per enclosure");
  CLI::Option* listDrive =
      list->add_option("--drive", listOptions.drive, driveHelp)->check(WholeNumber(0, 9));
  AddEnclosureChoice(*list, listOptions.enclosure)->excludes(listDrive);

  StatusOptions status;
  CLI::App* statusCommand =
      app.add_subcommand("status",
                         "read every enclosure's status; exit 0 OK, 1 WARNING, "
                         "2 CRITICAL, 3 UNKNOWN");
  bool statusJson = false;
  std::string statusFormat = "text";
  CLI::Option* jsonFlag =
      statusCommand->add_flag("--json", statusJson, "machine-readable output (--format json)");
  statusCommand
      ->add_option("--format", statusFormat,
                   "text, json, prometheus (the text exposition format, for a node "
                   "exporter's textfile collector) or nagios (a monitoring plugin's line with "
                   "performance data)")
      ->option_text("FORMAT")
      ->check(CLI::IsMember(StatusFormatNames()))
      ->excludes(jsonFlag);
  CLI::Option* statusDrive =
      statusCommand->add_option("--drive", status.drive, driveHelp)->check(WholeNumber(0, 9));
  AddEnclosureChoice(*statusCommand, status.enclosure)->excludes(statusDrive);
  bool statusDirect = false;
  statusCommand->add_flag("--direct", statusDirect,
                          "read the enclosures here even when pxraidd runs (which otherwise "
                          "answers, for users who may not open the disks)");
  statusCommand->add_option("--log-dir", status.logDir,
                            "where the daily log files are, to tell of a firmware upgrade cut "
                            "short");
  statusCommand
      ->add_option("--history", status.history,
                   "the member history a rebuild's time left is read from (default: the one "
                   "pxraid monitor keeps beside the logs)")
      ->option_text("FILE");

  MonitorOptions monitor;
  CLI::App* monitorCommand = app.add_subcommand(
      "monitor", "poll the enclosures and keep the daily event log until stopped");
  AddMonitorOptions(*monitorCommand, monitor);
  bool followEvents = false;
  bool eventsJson = false;
  CLI::Option* eventsFlag = monitorCommand->add_flag(
      "--events", followEvents,
      "follow pxraidd's events (every alert its monitor raises) instead of polling here");
  monitorCommand->add_flag("--json", eventsJson, "with --events: one JSON object a line")
      ->needs(eventsFlag);

  HistoryOptions history;
  CLI::App* historyCommand = app.add_subcommand(
      "history", "what the member history holds: enclosures, disks, events and rebuilds");
  historyCommand
      ->add_option("--history", history.file,
                   "the history file (default: the one pxraid monitor keeps beside the logs)")
      ->option_text("FILE");
  historyCommand->add_option("--serial", history.serial, "one disk's life, by its serial number")
      ->option_text("S");
  historyCommand
      ->add_option("--since", history.since,
                   "events and rebuilds from then on: 2026-12-07 or 2026-12-07T10:00:00 (UTC)")
      ->option_text("DATE");
  historyCommand->add_flag("--json", history.json, "machine-readable output");

  LogOptions log;
  CLI::App* logCommand = app.add_subcommand("log", "print a day's event log");
  logCommand->add_option("--log-dir", log.logDir, "where the daily log files are");
  logCommand->add_option("--date", log.date, "the day, YYMMDD (default: today)")
      ->check(Checked(&CheckLogDate, "YYMMDD"));
  logCommand->add_flag("--follow,-f", log.follow, "keep printing new lines until stopped");

  CLI::App* firmware =
      app.add_subcommand("firmware", "check, upgrade, back up, restore or build firmware");
  firmware->require_subcommand(1);

  FirmwareCheckOptions check;
  CLI::App* checkCommand =
      firmware->add_subcommand("check", "validate a firmware file as the loader does");
  checkCommand->add_option("FILE", check.file, "firmware file")->required();
  CLI::Option* checkDevice =
      checkCommand->add_option("--device", check.device, "compare with enclosure N (from 1)")
          ->check(WholeNumber(1, 8));
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

  bool firmwareDirect = false;
  FirmwareUpgradeOptions upgrade;
  CLI::App* upgradeCommand =
      firmware->add_subcommand("upgrade", "erase, program and verify the controller's flash");
  upgradeCommand->add_option("FILE", upgrade.file, "firmware file")->required();
  AddEnclosureChoice(*upgradeCommand, upgrade.device, upgrade.enclosure, firmwareDirect);
  upgradeCommand->add_flag("--yes,-y", upgrade.yes,
                           "do not ask for confirmation, nor before going on without a backup "
                           "when the flash reads as erased");
  upgradeCommand->add_flag("--no-backup", upgrade.noBackup,
                           "do not read the flash into a backup file first");
  upgradeCommand->add_option("--log-dir", upgrade.logDir,
                             "where the backup and the daily log files go");

  FirmwareBackupOptions backup;
  CLI::App* backupCommand =
      firmware->add_subcommand("backup", "read the controller's flash into a file");
  backupCommand->add_option("FILE", backup.file, "the backup file (replaced if it exists)")
      ->required();
  AddEnclosureChoice(*backupCommand, backup.device, backup.enclosure, firmwareDirect);
  backupCommand->add_option("--log-dir", backup.logDir,
                            "where the daily log files are, to tell of a firmware upgrade cut "
                            "short");

  FirmwareRestoreOptions restore;
  CLI::App* restoreCommand = firmware->add_subcommand(
      "restore", "erase, program and verify the controller's flash with a backup");
  restoreCommand->add_option("FILE", restore.file, "a backup file")->required();
  AddEnclosureChoice(*restoreCommand, restore.device, restore.enclosure, firmwareDirect);
  restoreCommand->add_flag("--yes,-y", restore.yes, "do not ask for confirmation");
  restoreCommand->add_option("--log-dir", restore.logDir, "where the daily log files go");

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
  // The builder's numbers are checked as they are read, like every other
  // argument: a word that is no number is a usage error whatever the option.
  const CLI::Validator builderNumber([](std::string& v) { return CheckNumberArgument(v); }, "N");
  buildCommand->add_option("--fan-supported", build.fanSupported, "FAN supported")
      ->option_text("N")
      ->capture_default_str()
      ->check(builderNumber);
  buildCommand->add_option("--fan-limit", build.fanLimit, "FAN alarm limit, RPM")
      ->option_text("N")
      ->capture_default_str()
      ->check(builderNumber);
  buildCommand
      ->add_option("--thermal-supported", build.thermalSupported, "thermal sensor supported")
      ->option_text("N")
      ->capture_default_str()
      ->check(builderNumber);
  buildCommand
      ->add_option("--thermal-limit", build.thermalLimit, "thermal alarm limit, degrees Celsius")
      ->option_text("N")
      ->capture_default_str()
      ->check(builderNumber);
  buildCommand->add_flag("--schedule-backup", build.scheduleBackup, "schedule backup supported");
  buildCommand->add_flag("--fast-backup", build.fastBackup, "fast backup supported");
  buildCommand->add_option("--seed", build.seed, "seed of the pseudo-random fill")
      ->option_text("N")
      ->check(builderNumber);
  buildCommand->add_option("-o,--output", build.output, "the image file (.bin)")
      ->option_text("OUT")
      ->required();

  // status speaks to monitoring systems, for which a check that is called
  // wrongly is UNKNOWN, not CRITICAL.
  const auto usageError = [statusCommand] {
    return statusCommand->parsed() ? kExitUnknown : kExitUsage;
  };
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);  // --help, --version
    Complain(UsageMessage(app, error));
    std::cerr << "Run with --help for more information." << std::endl;
    return usageError();
  }

  status.format = statusJson ? StatusFormat::Json
                             : ParseStatusFormat(statusFormat).value_or(StatusFormat::Text);
  // Standard output goes nowhere for the rest of the run, and back after it.
  struct Silence {
    std::streambuf* was = nullptr;
    ~Silence() {
      if (was != nullptr) std::cout.rdbuf(was);
      SetQuiet(false);
    }
  } silence;
  if (quiet) {
    std::cout.flush();
    silence.was = std::cout.rdbuf(nullptr);
    SetQuiet(true);
  }
  try {
    if (buildCommand->parsed()) return RunFirmwareBuild(build);
    if (historyCommand->parsed()) return RunHistory(history);
    if (monitorCommand->parsed() && followEvents) return FollowServiceEvents(eventsJson);
    // The service's answer is of the machine's own disks, read as they were
    // at its last poll: a run on other disks, or one being recorded, reads
    // them itself.
    if (statusCommand->parsed() && !statusDirect && global.virtualScenario.empty() &&
        global.replay.empty() && global.record.empty()) {
      if (const std::optional<int> answered = StatusFromService(status)) return *answered;
    }
    // Firmware work goes to the service unless it is about other disks, or
    // this run's own log folder.
    if (!firmwareDirect && global.virtualScenario.empty() && global.replay.empty() &&
        global.record.empty()) {
      std::optional<FirmwareRequest> request;
      if (upgradeCommand->parsed() && upgrade.logDir.empty()) {
        request = FirmwareRequest{FirmwareWork::Upgrade, upgrade.file, upgrade.device,
                                  upgrade.enclosure,     upgrade.yes,  upgrade.noBackup};
      } else if (backupCommand->parsed() && backup.logDir.empty()) {
        request = FirmwareRequest{FirmwareWork::Backup, backup.file, backup.device,
                                  backup.enclosure,     false,       false};
      } else if (restoreCommand->parsed() && restore.logDir.empty()) {
        request = FirmwareRequest{FirmwareWork::Restore, restore.file, restore.device,
                                  restore.enclosure,     restore.yes,  false};
      }
      if (request) {
        InstallStopHandler();
        if (const std::optional<int> done = FirmwareThroughService(*request)) return *done;
      }
    }
    Host host(global);
    if (list->parsed()) return RunList(host, listOptions);
    if (statusCommand->parsed()) return RunStatus(host, status);
    if (monitorCommand->parsed()) return RunMonitor(host, monitor);
    if (logCommand->parsed()) return RunLog(host, log);
    if (checkCommand->parsed()) return RunFirmwareCheck(host, check);
    if (upgradeCommand->parsed()) return RunFirmwareUpgrade(host, upgrade);
    if (backupCommand->parsed()) return RunFirmwareBackup(host, backup);
    if (restoreCommand->parsed()) return RunFirmwareRestore(host, restore);
  } catch (const std::invalid_argument& error) {
    Complain(error.what());
    return usageError();
  } catch (const std::exception& error) {
    // A check that could not be made is UNKNOWN, and still answers in the
    // format a monitoring system reads.
    if (statusCommand->parsed()) return StatusFailed(status, error.what());
    Complain(error.what());
    return kExitFailed;
  }
  return kExitUsage;
}

}  // namespace px::cli
