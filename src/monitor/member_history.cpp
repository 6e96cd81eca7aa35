#include "monitor/member_history.h"

#include <utility>

#include "common/text.h"
#include "eventlog/log_file.h"
#include "history/history_file.h"
#include "history/writer.h"
#include "monitor/status_report.h"
#include "raid/device_text.h"
#include "raid/record_views.h"

namespace px::monitor {
namespace {

namespace fs = std::filesystem;

// The class a member is in, read as status reports it.
history::MemberState StateOf(MemberClasses classes) {
  switch (MemberStateOf(classes)) {
    case MemberState::Ready:
      return history::MemberState::Ready;
    case MemberState::Inserted:
      return history::MemberState::Inserted;
    case MemberState::Failed:
      return history::MemberState::Failed;
    case MemberState::Absent:
      break;
  }
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

history::Observation ObservationOf(const PolledEnclosure& polled, int64_t now) {
  const StatusRecordView status(*polled.status);
  history::Observation observation;
  observation.enclosureId = polled.id;
  observation.time = now;
  observation.answered = polled.answered && status.WasRead();
  observation.name = TrimRightKeep(DeviceName(*polled.config), 0);
  observation.firmware = RevisionOf(*polled.config).text;
  observation.mode = status.Mode();
  observation.volumeSectors = status.VolumeCapacity();
  for (Port port : kBothPorts) {
    const MemberView view = status.Member(port);
    observation.members[IndexOf(port)] = {StateOf(view.Classes()), TrimRightKeep(view.Model(), 0),
                                          TrimRightKeep(view.Serial(), 0), view.CapacitySectors()};
  }
  if (status.RebuildRuns()) {
    observation.rebuild = history::RebuildObservation{
        status.Direction() == RebuildDirection::TowardsP0 ? history::RebuildDirection::TowardsP0
                                                          : history::RebuildDirection::TowardsP1,
        status.Percent()};
  }
  return observation;
}

const PolledEnclosure* PolledDevice(std::span<const PolledEnclosure> enclosures,
                                    std::size_t device) {
  for (const PolledEnclosure& polled : enclosures) {
    if (polled.device == device) return &polled;
  }
  return nullptr;
}

// The history keeps the program's events under the enclosure's id, with the
// words its alerts use.
std::vector<history::Event> HistoryEvents(std::span<const PolledEnclosure> enclosures,
                                          const std::vector<EnclosureEvent>& events, int64_t now) {
  std::vector<history::Event> kept;
  for (const EnclosureEvent& event : events) {
    const PolledEnclosure* polled = PolledDevice(enclosures, event.device);
    if (polled == nullptr) continue;
    const Alert alert = px::AlertOf(event);
    history::Event entry;
    entry.enclosureId = polled->id;
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

MemberWarning WarningOf(const history::Event& warning, std::size_t device,
                        const history::Observation& observation) {
  MemberWarning told;
  told.device = device;
  told.name = warning.name;
  told.severity = FromHistory(warning.severity);
  if (warning.port) {
    const std::size_t index = history::IndexOf(*warning.port);
    const history::MemberObservation& member = observation.members[index];
    MemberSnapshot snapshot;
    snapshot.port = index == 0 ? Port::P0 : Port::P1;
    snapshot.model = member.model;
    snapshot.serial = member.serial;
    snapshot.capacitySectors = member.capacitySectors;
    told.member = snapshot;
  }
  told.message = warning.message;
  return told;
}

}  // namespace

fs::path DefaultHistoryFile(const fs::path& logDirectory) {
  if (logDirectory.lexically_normal() == fs::path(kSystemLogDirectory).lexically_normal()) {
    return history::kServiceHistoryFile;
  }
  return logDirectory / history::kHistoryFileName;
}

struct MemberHistory::Writer {
  Writer(const fs::path& file, Say say)
      : history(file, history::WriterOptions{
                          .notice = [say = std::move(say)](const history::Notice& notice) {
                            if (say) say(notice.text);
                          }}) {}
  history::HistoryWriter history;
  // The warnings raised while this history is kept, by enclosure id and name.
  std::map<std::string, std::map<std::string, uint64_t>> raised;
};

MemberHistory::MemberHistory(const fs::path& file, Say say) {
  if (!file.empty()) writer_ = std::make_unique<Writer>(file, std::move(say));
}

MemberHistory::~MemberHistory() = default;

PollOutcome MemberHistory::Record(std::span<const PolledEnclosure> enclosures,
                                  const std::vector<EnclosureEvent>& events, int64_t now) {
  PollOutcome outcome;
  if (!writer_) return outcome;
  std::vector<history::Observation> observations;
  for (const PolledEnclosure& polled : enclosures) {
    observations.push_back(ObservationOf(polled, now));
  }
  const std::vector<history::EnclosureResult> results =
      writer_->history.RecordPoll(observations, HistoryEvents(enclosures, events, now));
  outcome.enclosures.resize(enclosures.size());
  for (std::size_t i = 0; i < results.size() && i < enclosures.size(); ++i) {
    if (observations[i].rebuild) {
      outcome.enclosures[i].remainingSeconds = results[i].remainingSeconds;
    }
    for (const history::Event& warning : results[i].warnings) {
      ++writer_->raised[enclosures[i].id][warning.name];
      outcome.warnings.push_back(WarningOf(warning, enclosures[i].device, observations[i]));
    }
  }
  for (std::size_t i = 0; i < enclosures.size(); ++i) {
    if (const auto raised = writer_->raised.find(enclosures[i].id);
        raised != writer_->raised.end()) {
      outcome.enclosures[i].warningsRaised = raised->second;
    }
  }
  return outcome;
}

}  // namespace px::monitor
