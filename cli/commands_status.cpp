#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <utility>

#include "cli/commands.h"
#include "cli/core_state.h"
#include "cli/enclosure_status.h"
#include "cli/host.h"
#include "cli/member_history.h"
#include "core/flash_job.h"
#include "monitor/metrics.h"
#include "raid/monitor.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace px::cli {

using monitor::BusyDriveReport;
using monitor::ChooseEnclosure;
using monitor::EnclosureChoice;
using monitor::EnclosureReport;
using monitor::KeepChosen;
using monitor::OnDrive;
using monitor::StatusReports;

namespace fs = std::filesystem;

namespace {

// systemd names the journal's stream in JOURNAL_STREAM as "device:inode";
// standard error must be that stream, not merely have inherited the
// variable (a terminal started by a user service passes it on to its shell).
bool ErrorsGoToTheJournal() {
#ifdef _WIN32
  return false;
#else
  const char* stream = std::getenv("JOURNAL_STREAM");
  unsigned long long device = 0;
  unsigned long long inode = 0;
  struct stat error {};
  return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
         ::fstat(STDERR_FILENO, &error) == 0 && device == error.st_dev && inode == error.st_ino;
#endif
}

}  // namespace

std::string PriorityPrefix(int priority) {
  static const bool journal = ErrorsGoToTheJournal();
  return journal ? std::string("<").append(std::to_string(priority)).append(">") : std::string();
}

void Complain(const std::string& text) {
  std::cerr << PriorityPrefix(kPriorityWarning) << "pxraid: " << text << std::endl;
}

namespace {
bool quietRun = false;
}  // namespace

void Announce(const std::string& text) {
  if (quietRun) return;
  std::cerr << PriorityPrefix(kPriorityNotice) << "pxraid: " << text << std::endl;
}

void SetQuiet(bool quiet) {
  quietRun = quiet;
}

std::string NotProbedText(const BusyDriveReport& busy) {
  return "drive " + std::to_string(busy.drive) + (busy.node.empty() ? "" : " (" + busy.node + ")") +
         " was not probed: " + busy.reason + ".";
}

uint32_t DetectAndExplain(CoreState& core) {
  return ExplainDetection(core, core.Detect());
}

uint32_t ExplainDetection(CoreState& core, uint32_t count) {
  const std::string advice = core.host.PermissionAdvice(core.detection.PhysicalDriveCount);
  // A drive another program holds may well be an enclosure: it is named
  // rather than taken for absent.
  for (const BusyDriveReport& busy : BusyDrives(core)) Complain(NotProbedText(busy));
  if (count == 0 && core.detection.BusyDrives.load() == 0) Complain(core.NoEnclosureText());
  if (!advice.empty()) Complain(advice);
  return count;
}

void TellCutShortRuns(const CoreState& core, const std::filesystem::path& logDirectory,
                      CutShortWatch& watch) {
  for (const std::string& notice : watch.Look(core, logDirectory)) {
    std::cerr << PriorityPrefix(kPriorityCritical) << "pxraid: " << notice << std::endl;
  }
}

namespace {

// Where --drive asked for one drive only, no other is probed.
CoreOptions LookingAt(int drive) {
  CoreOptions options;
  if (drive != kEveryDrive) options.onlyDrive = static_cast<uint32_t>(drive);
  return options;
}

}  // namespace

int RunList(Host& host, const ListOptions& options) {
  CoreState core(host, LookingAt(options.drive));
  const uint32_t count = DetectAndExplain(core);
  if (count == 0) return kExitNoDevice;

  std::vector<EnclosureReport> enclosures;
  for (std::size_t slot = 0; slot < count; ++slot) {
    enclosures.push_back(BuildReport(core, slot, true, false));
  }
  if (!options.enclosure.empty()) {
    const EnclosureChoice chosen = ChooseEnclosure(enclosures, options.enclosure);
    if (!chosen.index) {
      Complain(chosen.why);
      return kExitNoDevice;
    }
    enclosures = {enclosures[*chosen.index]};
  }
  std::vector<std::array<std::string, 7>> rows = {
      {"DEV", "DRIVE", "NAME", "FIRMWARE", "MODE", "P0", "P1"}};
  for (const EnclosureReport& enclosure : enclosures) rows.push_back(ListFields(enclosure));
  std::array<std::size_t, 7> widths{};
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    std::cout << line << '\n';
  }
  return kExitOk;
}

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

StatusAnswer AnswerFromPoll(StatusFormat format, int drive, const StatusReports& poll,
                            std::optional<int64_t> polledAt, const std::string& enclosure) {
  StatusAnswer answer;
  StatusReports all = OnDrive(poll, drive);
  for (const BusyDriveReport& busy : all.busy) answer.complaints.push_back(NotProbedText(busy));
  std::string error;
  if (all.enclosures.empty() && all.busy.empty()) {
    error = NoEnclosureText(drive == kEveryDrive ? std::nullopt
                                                 : std::optional(static_cast<uint32_t>(drive)));
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

}  // namespace

int StatusFailed(const StatusOptions& options, const std::string& error) {
  return AnswerFailure(options, error, StatusReports{});
}

int RunStatus(Host& host, const StatusOptions& options) {
  CoreState core(host, LookingAt(options.drive));
  std::optional<uint32_t> found;
  try {
    const uint32_t count = DetectAndExplain(core);
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
    StatusReports all = ReportAll(core, count, poll);
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
      const std::string advice = host.PermissionAdvice(core.detection.PhysicalDriveCount);
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

}  // namespace px::cli
