#include "cli/member_history.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <map>
#include <optional>

#include "cli/commands.h"
#include "common/time_text.h"
#include "eventlog/log_file.h"
#include "history/history_file.h"
#include "history/reader.h"
#include "history/report.h"
#include "history/writer.h"

namespace px::cli {
namespace {

namespace fs = std::filesystem;

history::MemberState StateOf(std::string_view state) {
  if (state == "ready") return history::MemberState::Ready;
  if (state == "inserted") return history::MemberState::Inserted;
  if (state == "failed") return history::MemberState::Failed;
  return history::MemberState::Absent;
}

history::Severity ToHistory(Severity severity) {
  switch (severity) {
    case Severity::Critical:
      return history::Severity::Critical;
    case Severity::Warning:
      return history::Severity::Warning;
    case Severity::Info:
      break;
  }
  return history::Severity::Info;
}

Severity FromHistory(history::Severity severity) {
  switch (severity) {
    case history::Severity::Critical:
      return Severity::Critical;
    case history::Severity::Warning:
      return Severity::Warning;
    case history::Severity::Info:
      break;
  }
  return Severity::Info;
}

history::Observation ObservationOf(const EnclosureReport& report, int64_t now) {
  history::Observation observation;
  observation.enclosureId = report.id;
  observation.time = now;
  observation.answered = report.statusRead;
  observation.name = report.name;
  observation.firmware = report.firmware;
  observation.mode = report.modeCode;
  observation.volumeSectors = report.volumeCapacitySectors;
  for (std::size_t i = 0; i < report.members.size(); ++i) {
    const MemberReport& member = report.members[i];
    observation.members[i] = {StateOf(member.state), member.model, member.serial,
                              member.capacitySectors};
  }
  if (report.rebuildRunning) {
    observation.rebuild = history::RebuildObservation{report.towards == RebuildDirection::TowardsP0
                                                          ? history::RebuildDirection::TowardsP0
                                                          : history::RebuildDirection::TowardsP1,
                                                      report.percent};
  }
  return observation;
}

EnclosureReport* ReportOfDevice(StatusReports& reports, std::size_t device) {
  for (EnclosureReport& report : reports.enclosures) {
    if (static_cast<std::size_t>(report.device - 1) == device) return &report;
  }
  return nullptr;
}

// The history keeps the program's events under the enclosure's id, with the
// words its alerts use.
std::vector<history::Event> HistoryEvents(StatusReports& reports,
                                          const std::vector<EnclosureEvent>& events, int64_t now) {
  std::vector<history::Event> kept;
  for (const EnclosureEvent& event : events) {
    const EnclosureReport* report = ReportOfDevice(reports, event.device);
    if (report == nullptr) continue;
    const Alert alert = AlertOf(event);
    history::Event entry;
    entry.enclosureId = report->id;
    entry.time = now;
    entry.name = alert.name;
    entry.severity = ToHistory(alert.severity);
    if (event.member) {
      entry.port = event.member->port == Port::P0 ? history::Port::P0 : history::Port::P1;
      entry.serial = event.member->serial;
    }
    entry.message = alert.message;
    kept.push_back(std::move(entry));
  }
  return kept;
}

Alert AlertOfWarning(const history::Event& warning, const EnclosureReport& report) {
  Alert alert;
  alert.name = warning.name;
  alert.severity = FromHistory(warning.severity);
  alert.device = static_cast<std::size_t>(report.device - 1);
  if (warning.port) {
    const std::size_t index = history::IndexOf(*warning.port);
    const MemberReport& member = report.members[index];
    MemberSnapshot snapshot;
    snapshot.port = index == 0 ? Port::P0 : Port::P1;
    snapshot.model = member.model;
    snapshot.serial = member.serial;
    snapshot.capacitySectors = member.capacitySectors;
    alert.member = snapshot;
  }
  // Named as the other alerts' messages are.
  alert.message = "D" + std::to_string(report.device) + " " + warning.message;
  return alert;
}

}  // namespace

fs::path DefaultHistoryFile(const fs::path& logDirectory) {
  if (logDirectory.lexically_normal() == fs::path(kSystemLogDirectory).lexically_normal()) {
    return history::kServiceHistoryFile;
  }
  return logDirectory / history::kHistoryFileName;
}

struct MonitorHistory::Writer {
  explicit Writer(const fs::path& file)
      : history(file, history::WriterOptions{.notice = [](const history::Notice& notice) {
                  Complain(notice.text);
                }}) {}
  history::HistoryWriter history;
  // The warnings raised while this monitor runs, by enclosure id and name.
  std::map<std::string, std::map<std::string, uint64_t>> raised;
};

MonitorHistory::MonitorHistory(const fs::path& file) {
  if (!file.empty()) writer_ = std::make_unique<Writer>(file);
}

MonitorHistory::~MonitorHistory() = default;

std::vector<Alert> MonitorHistory::Record(StatusReports& reports,
                                          const std::vector<EnclosureEvent>& events, int64_t now) {
  std::vector<Alert> alerts;
  if (!writer_) return alerts;
  std::vector<history::Observation> observations;
  for (const EnclosureReport& report : reports.enclosures) {
    observations.push_back(ObservationOf(report, now));
  }
  const std::vector<history::EnclosureResult> results =
      writer_->history.RecordPoll(observations, HistoryEvents(reports, events, now));
  for (std::size_t i = 0; i < results.size() && i < reports.enclosures.size(); ++i) {
    EnclosureReport& report = reports.enclosures[i];
    if (report.rebuildRunning) report.remainingSeconds = results[i].remainingSeconds;
    for (const history::Event& warning : results[i].warnings) {
      ++writer_->raised[report.id][warning.name];
      alerts.push_back(AlertOfWarning(warning, report));
    }
  }
  for (EnclosureReport& report : reports.enclosures) {
    if (const auto raised = writer_->raised.find(report.id); raised != writer_->raised.end()) {
      report.warningsRaised = raised->second;
    }
  }
  return alerts;
}

void EstimateFromHistory(const fs::path& file, StatusReports& reports) {
  const bool rebuilding =
      std::any_of(reports.enclosures.begin(), reports.enclosures.end(),
                  [](const EnclosureReport& r) { return r.statusRead && r.rebuildRunning; });
  if (!rebuilding) return;
  std::string why;
  const std::unique_ptr<history::HistoryReader> reader = history::HistoryReader::Open(file, why);
  if (!reader) return;
  for (EnclosureReport& report : reports.enclosures) {
    if (!report.statusRead || !report.rebuildRunning) continue;
    const std::optional<double> rate = reader->RebuildRate(report.id, report.volumeCapacitySectors);
    if (!rate || *rate <= 0) continue;
    report.remainingSeconds = std::llround((100.0 - report.percent) / *rate);
  }
}

fs::path MonitorHistoryFile(const MonitorOptions& options, const fs::path& logDirectory) {
  if (options.noHistory) return {};
  return options.history.empty() ? DefaultHistoryFile(logDirectory) : fs::path(options.history);
}

HistoryAnswer AnswerHistory(const HistoryOptions& options, const fs::path& file) {
  HistoryAnswer answer;
  history::HistoryQuery query;
  if (!options.serial.empty()) query.serial = options.serial;
  if (!options.since.empty()) {
    const std::optional<int64_t> since = ParseUtcTime(options.since);
    if (!since) {
      answer.why = "--since: " + options.since +
                   " is no date (2026-12-07) or time (2026-12-07T10:00:00, UTC)";
      answer.badArgument = true;
      return answer;
    }
    query.since = *since;
  }
  const std::unique_ptr<history::HistoryReader> reader =
      history::HistoryReader::Open(file, answer.why);
  std::optional<history::HistoryReport> report;
  if (reader) report = reader->Report(query, answer.why);
  if (report) {
    answer.output =
        options.json ? history::ReportJson(*report).dump(2) + "\n" : history::ReportText(*report);
  }
  return answer;
}

int RunHistory(const HistoryOptions& options) {
  fs::path file = options.file;
  if (file.empty()) {
    try {
      file = DefaultHistoryFile(DefaultLogDirectory());
    } catch (const std::invalid_argument& error) {
      Complain(error.what());
      return kExitFailed;
    }
  }
  const HistoryAnswer answer = AnswerHistory(options, file);
  if (!answer.output) {
    Complain(answer.why);
    return answer.badArgument ? kExitUsage : kExitFailed;
  }
  std::cout << *answer.output;
  return kExitOk;
}

}  // namespace px::cli
