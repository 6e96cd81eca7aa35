#include <algorithm>
#include <array>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "cli/command.h"
#include "cli/commands.h"
#include "cli/core_state.h"
#include "cli/enclosure_status.h"
#include "cli/host.h"
#include "cli/member_history.h"
#include "cli/options.h"
#include "cli/status_client.h"
#include "core/flash_job.h"
#include "monitor/metrics.h"
#include "raid/monitor.h"

namespace px::cli {

using monitor::BusyDriveReport;
using monitor::EnclosureReport;
using monitor::KeepChosen;
using monitor::OnDrive;
using monitor::StatusReports;

namespace fs = std::filesystem;

namespace {

constexpr std::array<std::pair<std::string_view, StatusFormat>, 4> kStatusFormats{{
    {"text", StatusFormat::Text},
    {"json", StatusFormat::Json},
    {"prometheus", StatusFormat::Prometheus},
    {"nagios", StatusFormat::Nagios},
}};

// The formats that say in words why there is nothing to report.
bool TellsErrors(StatusFormat format) {
  return format == StatusFormat::Json || format == StatusFormat::Nagios;
}

}  // namespace

std::string_view StatusFormatName(StatusFormat format) {
  for (const auto& [name, value] : kStatusFormats) {
    if (value == format) return name;
  }
  return "text";
}

std::optional<StatusFormat> ParseStatusFormat(std::string_view name) {
  for (const auto& [known, value] : kStatusFormats) {
    if (known == name) return value;
  }
  return std::nullopt;
}

std::vector<std::string> StatusFormatNames() {
  std::vector<std::string> names;
  for (const auto& [name, value] : kStatusFormats) names.emplace_back(name);
  return names;
}

std::string StatusOutput(StatusFormat format, const StatusReports& all, const std::string& error,
                         std::optional<int64_t> polledAt) {
  if (format == StatusFormat::Prometheus) return monitor::PrometheusText(all, polledAt);
  if (format == StatusFormat::Nagios) return ToNagios(all, error);
  if (format == StatusFormat::Json) {
    const nlohmann::ordered_json json = ToJson(all, error);
    // Device texts are bytes, not necessarily UTF-8: a byte that is not
    // becomes U+FFFD rather than costing the caller the whole answer.
    return json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  }
  std::vector<std::string> texts;
  for (const EnclosureReport& report : all.enclosures) texts.push_back(ToText(report));
  for (const BusyDriveReport& report : all.busy) texts.push_back(ToText(report));
  std::string output;
  for (std::size_t i = 0; i < texts.size(); ++i) output += (i == 0 ? "" : "\n") + texts[i];
  return output;
}

StatusAnswer AnswerFromPoll(StatusFormat format, std::optional<PhysicalDrive> drive,
                            const StatusReports& poll, std::optional<int64_t> polledAt,
                            const std::string& enclosure) {
  StatusAnswer answer;
  StatusReports all = OnDrive(poll, drive);
  for (const BusyDriveReport& busy : all.busy) answer.complaints.push_back(NotProbedText(busy));
  std::string error;
  if (all.enclosures.empty() && all.busy.empty()) {
    error = NoEnclosureText(drive);
    answer.complaints.push_back(error);
  } else if (!enclosure.empty() && !all.enclosures.empty()) {
    // As a run of its own chooses, among what its detection found.
    error = KeepChosen(all, enclosure);
    if (!error.empty()) answer.complaints.push_back(error);
  }
  answer.output = StatusOutput(format, all, TellsErrors(format) ? error : "", polledAt);
  answer.exitCode = static_cast<int>(all.overall);
  return answer;
}

namespace {

// status's answer in the format asked for. `error`, when not empty, says why
// there is nothing to report or what ended the run; `polledAt` is when the
// poll ran, nothing when it did not finish.
void PrintStatus(const StatusOptions& options, const StatusReports& all, const std::string& error,
                 std::optional<int64_t> polledAt) {
  std::cout << StatusOutput(options.format, all, error, polledAt) << std::flush;
}

int AnswerFailure(const StatusOptions& options, const std::string& error, StatusReports known) {
  Complain(error);
  known.overall = Health::Unknown;
  PrintStatus(options, known, error, std::nullopt);
  return kExitUnknown;
}

// status could not run to its end (a recording that cannot be written or
// read, a replay that went another way): UNKNOWN, said on standard error and
// in the format asked for, knowing no enclosure.
int StatusFailed(const StatusOptions& options, const std::string& error) {
  return AnswerFailure(options, error, StatusReports{});
}

int RunStatus(Host& host, const StatusOptions& options) {
  CoreState core(host, LookingAt(options.drive));
  std::optional<uint32_t> found;
  try {
    const DetectionReport detected = DetectAndExplain(core);
    const uint32_t count = detected.enclosures;
    found = count;
    CutShortWatch watch;
    const fs::path logDirectory =
        options.logDir.empty() ? DefaultLogDirectory() : fs::path(options.logDir);
    TellCutShortRuns(core, logDirectory, watch);

    // One status read per enclosure, through the same poll the monitor runs.
    PollReport poll;
    if (count > 0) {
      host.BeforePoll(0);
      poll = core.raid.ReadStatus(core.client);
    }
    StatusReports all = ReportAll(core, detected, poll);
    EstimateFromHistory(options.history.empty() ? monitor::DefaultHistoryFile(logDirectory)
                                                : fs::path(options.history),
                        all);
    std::string error;
    if (!options.enclosure.empty() && count > 0) {
      error = KeepChosen(all, options.enclosure);
      if (!error.empty()) Complain(error);
    }
    // Only the JSON and Nagios answers say why nothing was found, so only
    // they ask the disks again: a replay must be asked what its recording
    // was.
    if (TellsErrors(options.format) && count == 0 && all.busy.empty()) {
      const std::string advice = host.PermissionAdvice(detected.physicalDrives);
      error = advice.empty() ? core.NoEnclosureText() : advice;
    }
    PrintStatus(options, all, error, host.UnixSeconds());
    return static_cast<int>(all.overall);
  } catch (const std::exception& failure) {
    // What failed knows of the enclosures its detection found, if that
    // finished, and of nothing they said: what the poll read before the
    // failure may be half of an answer that went wrong.
    StatusReports known;
    for (std::size_t slot = 0; slot < found.value_or(0); ++slot) {
      known.enclosures.push_back(BuildReport(core, slot, false, false));
    }
    return AnswerFailure(options, failure.what(), std::move(known));
  }
}

class StatusCommand final : public Command {
 public:
  StatusCommand()
      : Command("status",
                "read every enclosure's status; exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN") {}

  void AddOptions(CLI::App& command) override {
    CLI::Option* jsonFlag =
        command.add_flag("--json", json_, "machine-readable output (--format json)");
    command
        .add_option("--format", format_,
                    "text, json, prometheus (the text exposition format, for a node "
                    "exporter's textfile collector) or nagios (a monitoring plugin's line with "
                    "performance data)")
        ->option_text("FORMAT")
        ->check(CLI::IsMember(StatusFormatNames()))
        ->excludes(jsonFlag);
    CLI::Option* drive = AddDriveChoice(command, options_.drive);
    AddEnclosureChoice(command, options_.enclosure)->excludes(drive);
    command.add_flag("--direct", direct_,
                     "read the enclosures here even when pxraidd runs (which otherwise "
                     "answers, for users who may not open the disks)");
    command.add_option("--log-dir", options_.logDir,
                       "where the daily log files are, to tell of a firmware upgrade cut "
                       "short");
    command
        .add_option("--history", options_.history,
                    "the member history a rebuild's time left is read from (default: the one "
                    "pxraid monitor keeps beside the logs)")
        ->option_text("FILE");
  }

  int Run(Invocation& run) override {
    const StatusOptions options = Options();
    // The service's answer is of the machine's own disks, read as they were
    // at its last poll: a run on other disks, or one being recorded, reads
    // them itself.
    if (!direct_ && run.OnThisMachinesDisks()) {
      if (const std::optional<int> answered = StatusFromService(options)) return *answered;
    }
    return RunStatus(run.host(), options);
  }

  // status speaks to monitoring systems, for which a check that is called
  // wrongly is UNKNOWN, not CRITICAL.
  int UsageExit() const override { return kExitUnknown; }

  // A check that could not be made is UNKNOWN, and still answers in the
  // format a monitoring system reads.
  int Failed(const std::string& error) const override { return StatusFailed(Options(), error); }

 private:
  StatusOptions Options() const {
    StatusOptions options = options_;
    options.format =
        json_ ? StatusFormat::Json : ParseStatusFormat(format_).value_or(StatusFormat::Text);
    return options;
  }

  StatusOptions options_;
  bool json_ = false;
  std::string format_ = "text";
  bool direct_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeStatusCommand() {
  return std::make_unique<StatusCommand>();
}

}  // namespace px::cli
