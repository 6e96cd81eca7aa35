#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/observation.h"

// The history as `pxraid history` reads it: read-only, beside the writer, in
// one snapshot of the file however the writer moves on meanwhile.

namespace px::history {

class Database;

struct HistoryQuery {
  // A disk's life; without it, every enclosure's.
  std::optional<std::string> serial;
  // Events and rebuilds from then on (Unix seconds).
  int64_t since = 0;
};

struct EventEntry {
  int64_t time = 0;
  std::string enclosureId;
  std::string name;
  Severity severity = Severity::Info;
  std::optional<Port> port;
  std::string serial;
  std::string message;
};

struct RebuildEntry {
  std::string enclosureId;
  int64_t started = 0;
  std::optional<int64_t> ended;
  RebuildDirection direction = RebuildDirection::TowardsP1;
  std::string sourceSerial;
  std::string targetSerial;
  uint64_t sectors = 0;
  int startPercent = 0;
  int percent = 0;      // the last one seen
  std::string outcome;  // "running", "completed" or "interrupted"
};

struct PlacementEntry {
  std::string enclosureId;
  std::string enclosureName;
  Port port = Port::P0;
  int64_t firstSeen = 0;
  int64_t lastSeen = 0;
};

struct MemberEntry {
  std::string serial;
  std::string model;
  uint64_t capacitySectors = 0;
  int64_t firstSeen = 0;
  int64_t lastSeen = 0;
  int64_t failures = 0;
  std::optional<int64_t> lastFailed;
  std::vector<PlacementEntry> placements;  // first seen first
  std::vector<EventEntry> events;
  std::vector<RebuildEntry> rebuilds;  // it was copied from or onto
};

struct EnclosureEntry {
  std::string id;
  std::string name;
  std::string firmware;
  uint8_t mode = kModeMirror;
  uint64_t volumeSectors = 0;
  int64_t firstSeen = 0;
  int64_t lastSeen = 0;
  std::vector<EventEntry> events;
  std::vector<RebuildEntry> rebuilds;
};

struct HistoryReport {
  HistoryQuery query;
  std::vector<EnclosureEntry> enclosures;  // without a serial, first seen first
  std::optional<MemberEntry> member;       // with one, when the history knows it
};

class HistoryReader {
 public:
  // The history in `file`, opened read-only. Null, and `why` in words for the
  // user, when there is none or it cannot be read.
  static std::unique_ptr<HistoryReader> Open(const std::filesystem::path& file, std::string& why);
  ~HistoryReader();
  HistoryReader(const HistoryReader&) = delete;
  HistoryReader& operator=(const HistoryReader&) = delete;

  // Nothing, and `why`, when the file cannot be read.
  std::optional<HistoryReport> Report(const HistoryQuery& query, std::string& why);

  // The rate (percent per second, for a volume of `volumeSectors`) at which
  // the enclosure's running rebuild went, as the writer last measured it
  // between the first and the last move of its percentage; while too little
  // of it has been seen, the last finished rebuild's. Nothing when neither
  // is known or the file cannot be read.
  std::optional<double> RebuildRate(const std::string& enclosureId, uint64_t volumeSectors);

 private:
  explicit HistoryReader(std::unique_ptr<Database> db);
  std::unique_ptr<Database> db_;
};

}  // namespace px::history
