#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "history/observation.h"

// What the history holds of an enclosure between two polls, and how a poll
// moves it. The writer keeps this beside the file, so that it writes only
// what changed; the warnings are judged against it.

namespace px::history {

struct BayMemory {
  MemberState state = MemberState::Absent;
  std::string serial;  // the disk in the bay; empty when there is none
  // The bay's disk in the last pair that was whole (both ready, no rebuild
  // running): where each disk belongs.
  std::string pairSerial;
  friend bool operator==(const BayMemory&, const BayMemory&) = default;
};

// A rebuild while it runs, as its row in the file holds it.
struct RebuildMemory {
  int64_t row = 0;  // 0 before it is written
  int64_t started = 0;
  RebuildDirection direction = RebuildDirection::TowardsP1;
  std::string sourceSerial;
  std::string targetSerial;
  uint64_t sectors = 0;  // the volume's
  int startPercent = 0;
  int percent = 0;
  // When the percentage last moved (to `percent`) and first moved: the rate
  // is measured between them.
  std::optional<int64_t> percentAt;
  std::optional<int64_t> firstStepAt;
  int firstStepPercent = 0;
  friend bool operator==(const RebuildMemory&, const RebuildMemory&) = default;
};

// How fast the last rebuild that was measured went.
struct RebuildRate {
  double percentPerSecond = 0;
  uint64_t sectors = 0;  // of the volume it rebuilt
  friend bool operator==(const RebuildRate&, const RebuildRate&) = default;
};

struct EnclosureMemory {
  int64_t row = 0;        // its row in the file; 0 before it is written
  bool answered = false;  // the bays hold a reading
  std::string name;
  std::string firmware;
  uint8_t mode = kModeMirror;
  uint64_t volumeSectors = 0;
  int64_t lastSeen = 0;  // as written
  std::array<BayMemory, 2> bays;
  std::optional<RebuildMemory> rebuild;
  std::optional<RebuildRate> lastRate;
  friend bool operator==(const EnclosureMemory&, const EnclosureMemory&) = default;
};

// A device text without the spaces around it (ATA pads serial numbers on
// either side).
std::string Trimmed(std::string_view text);

// The observation as the history keeps it: device texts trimmed, nothing of
// a member that is absent.
Observation Normalized(const Observation& observation);
// The event with its disk's serial number trimmed like the observations'.
Event Normalized(const Event& event);

// What `before` becomes with the (normalized) observation `now`. An
// unanswered one moves only "last seen", which any observation moves only
// every `lastSeenEvery` seconds.
EnclosureMemory Advance(const EnclosureMemory& before, const Observation& now,
                        int64_t lastSeenEvery);

// The rate a finished rebuild was measured at, if enough of it was seen.
std::optional<RebuildRate> RateOf(const RebuildMemory& rebuild);

// The bay holds a disk that it did not hold at the last reading. At an
// enclosure's first reading nothing has arrived: it was there already.
bool Arrived(const EnclosureMemory& before, const Observation& now, Port port);
// The bay's disk is failed now and was not at the last reading.
bool FailedAnew(const EnclosureMemory& before, const Observation& now, Port port);

}  // namespace px::history
