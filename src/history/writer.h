#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "history/estimator.h"
#include "history/history_file.h"
#include "history/memory.h"
#include "history/observation.h"
#include "history/warnings.h"

namespace px::history {

class Database;

// Something the user should hear of once: the caller says it where it says
// such things (standard error, the message panel).
struct Notice {
  enum class Kind : uint8_t {
    SetAside,    // the file was damaged or a newer version's: moved away, a new one begun
    NotKept,     // no file can be kept: this run remembers in memory only
    NotWritten,  // a poll could not be written; it is tried again with the next
  };
  Kind kind = Kind::NotKept;
  std::string text;
};

struct WriterOptions {
  // Events older than this, by the polls' clock, are dropped once a day.
  int64_t keepEventsSeconds = int64_t{2} * 365 * 24 * 3600;
  // And beyond this many the oldest go too, so that a disk that comes and
  // goes at every poll cannot grow the file without end: at about 150 bytes
  // an event, 200,000 are some 30 MB.
  std::size_t maxEvents = 200000;
  // How often a poll that changes nothing moves the enclosures' and disks'
  // "last seen": writing it at every poll would cost a transaction per poll.
  int64_t lastSeenEverySeconds = 600;
  std::function<void(const Notice&)> notice;
};

// What a poll told of one enclosure.
struct EnclosureResult {
  // Warnings raised by this poll, each once per occurrence; they are in the
  // history too.
  std::vector<Event> warnings;
  // While a rebuild runs: the seconds it has left, once its own progress or
  // an earlier rebuild of the enclosure tells.
  std::optional<int64_t> remainingSeconds;
};

// The one writer of a history file. It remembers what the file holds, so a
// poll that changes nothing costs no write, and a poll that changes something
// is one transaction. Nothing it meets stops it: a damaged file or a newer
// version's is set aside for a new one, and where no file can be kept it
// keeps the history in memory for as long as it runs; each is said once.
class HistoryWriter {
 public:
  explicit HistoryWriter(std::filesystem::path file, WriterOptions options = {});
  ~HistoryWriter();
  HistoryWriter(const HistoryWriter&) = delete;
  HistoryWriter& operator=(const HistoryWriter&) = delete;

  // One poll: what each enclosure looked like (an unanswered one only moves
  // its "last seen") and the events the program derived from it. Results in
  // the order of `observations`.
  std::vector<EnclosureResult> RecordPoll(std::span<const Observation> observations,
                                          std::span<const Event> events);

  // The history lives in memory only, for the reason the notice gave.
  bool InMemory() const { return inMemory_; }

 private:
  // Opens the file, or else keeps the history in memory.
  void Attach();
  // The file, checked and brought up to date; a damaged or newer one is set
  // aside and a new one begun. Null, and `why`, when it has to be given up.
  std::unique_ptr<Database> OpenFile(std::string& why);
  bool SetAsideFile(std::string_view label, const std::string& what, std::string& why);
  void KeepInMemory(const std::string& why);
  void LoadMemory();
  // One enclosure's reading that changes what the file holds.
  struct Change {
    std::size_t index;  // in the poll's observations
    const EnclosureMemory* before;
    EnclosureMemory next;
    Observation now;  // normalized
    std::vector<Event> warnings;
  };
  struct Poll {
    std::vector<Change> changes;
  };
  Poll Prepare(std::span<const Observation> observations);
  DiskPast PastOf(const std::string& serial);
  void Write(Poll& poll, std::span<const Event> events);
  int64_t EnclosureRow(const Poll& poll, const std::string& id, int64_t time);
  static std::string WarningKey(const Event& warning);
  // The last rebuild's rate on the observation's enclosure, for its volume.
  std::optional<double> FallbackRate(const Observation& observation) const;
  void Prune(int64_t now);
  void Say(Notice::Kind kind, const std::string& text);
  // A write that failed, said once for each reason in a row.
  void Trouble(const std::string& what);

  std::filesystem::path file_;
  WriterOptions options_;
  std::optional<WriterLock> lock_;
  std::unique_ptr<Database> db_;
  bool inMemory_ = false;
  // What the file holds of each enclosure, by its stable id.
  std::unordered_map<std::string, EnclosureMemory> memory_;
  // When each enclosure was last read, which is when a disk that has left
  // it was last seen.
  std::unordered_map<std::string, int64_t> lastReading_;
  // The program's events of polls that could not be written, for the next.
  std::vector<Event> unwritten_;
  std::unordered_map<std::string, RebuildEstimator> estimators_;
  // Warnings told while the file could not be written.
  std::unordered_set<std::string> told_;
  std::optional<int64_t> lastPrune_;
  std::string lastTrouble_;
};

}  // namespace px::history
