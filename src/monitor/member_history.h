#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/transport.h"
#include "raid/alerts.h"
#include "raid/enclosure_events.h"
#include "raid/records.h"

// The member history as a monitoring front end keeps it. pxraid monitor and
// the window both map their polls onto it here, from the records both have,
// and hear back a running rebuild's time left and the warnings raised. A
// build without SQLite keeps none.

namespace px::monitor {

// Where the history is kept beside the logs of `logDirectory`: the system's
// log folder (the service's) keeps it in /var/lib/pxraid, any other folder
// beside its logs. Empty where the build keeps no history.
std::filesystem::path DefaultHistoryFile(const std::filesystem::path& logDirectory);

// The id the history keeps the enclosure on physical drive `drive` under: its
// USB bridge's, which stays when it is plugged into another port, else
// "drive-N".
std::string EnclosureId(HostInventory& inventory, PhysicalDrive drive);

// One listed enclosure after a poll, as its records hold it.
struct PolledEnclosure {
  std::size_t device = 0;  // index in the device table; the log's "D1" is 0
  std::string id;          // EnclosureId
  // This poll read its status; a record discovery never read counts as not.
  bool answered = false;
  const Record* status = nullptr;
  const Record* config = nullptr;
};

struct PolledResult {
  // While its rebuild runs: the seconds it has left, once known.
  std::optional<int64_t> remainingSeconds;
  // The warnings (by name) raised on this enclosure while this history ran.
  std::map<std::string, uint64_t> warningsRaised;
};

struct PollOutcome {
  // In the order of the poll's enclosures; empty when no history is kept.
  std::vector<PolledResult> enclosures;
  // Raised by this poll, each once.
  std::vector<MemberWarning> warnings;
};

// The one writer of a front end's history. Nothing it meets stops
// monitoring: trouble with the file is told to `say`, once.
class MemberHistory {
 public:
  using Say = std::function<void(const std::string& text)>;
  // An empty file keeps no history.
  MemberHistory(const std::filesystem::path& file, Say say);
  ~MemberHistory();
  MemberHistory(const MemberHistory&) = delete;
  MemberHistory& operator=(const MemberHistory&) = delete;

  // One poll: the listed enclosures and the events derived from it, at
  // `now` (Unix seconds).
  PollOutcome Record(std::span<const PolledEnclosure> enclosures,
                     const std::vector<EnclosureEvent>& events, int64_t now);

 private:
  struct Writer;
  std::unique_ptr<Writer> writer_;
};

}  // namespace px::monitor
