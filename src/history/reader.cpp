#include "history/reader.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include "common/text.h"
#include "history/database.h"
#include "history/estimator.h"
#include "history/schema.h"

namespace px::history {

namespace fs = std::filesystem;

namespace {

std::optional<int64_t> OptionalInt(const Statement& row, int column) {
  return row.IsNull(column) ? std::nullopt : std::optional<int64_t>(row.Int(column));
}

std::optional<Port> PortOf(const Statement& row, int column) {
  if (row.IsNull(column)) return std::nullopt;
  return row.Int(column) == 1 ? Port::P1 : Port::P0;
}

Severity SeverityOf(int64_t value) {
  if (value == 0) return Severity::Critical;
  return value == 1 ? Severity::Warning : Severity::Info;
}

constexpr char kEventColumns[] =
    "SELECT v.time, e.stable_id, v.name, v.severity, v.port, v.serial, v.message FROM events v "
    "JOIN enclosures e ON e.id = v.enclosure ";
constexpr char kRebuildColumns[] =
    "SELECT e.stable_id, r.started, r.ended, r.direction, r.source_serial, r.target_serial, "
    "r.sectors, r.start_percent, r.percent, r.outcome FROM rebuilds r JOIN enclosures e ON "
    "e.id = r.enclosure ";

std::vector<EventEntry> Events(Statement& query) {
  std::vector<EventEntry> events;
  while (query.Step()) {
    events.push_back({query.Int(0), query.Text(1), query.Text(2), SeverityOf(query.Int(3)),
                      PortOf(query, 4), query.Text(5), query.Text(6)});
  }
  return events;
}

std::vector<RebuildEntry> Rebuilds(Statement& query) {
  std::vector<RebuildEntry> rebuilds;
  while (query.Step()) {
    RebuildEntry entry;
    entry.enclosureId = query.Text(0);
    entry.started = query.Int(1);
    entry.ended = OptionalInt(query, 2);
    entry.direction = query.Int(3) == 0 ? RebuildDirection::TowardsP0 : RebuildDirection::TowardsP1;
    entry.sourceSerial = query.Text(4);
    entry.targetSerial = query.Text(5);
    entry.sectors = static_cast<uint64_t>(query.Int(6));
    entry.startPercent = static_cast<int>(query.Int(7));
    entry.percent = static_cast<int>(query.Int(8));
    entry.outcome = query.IsNull(9) ? "running" : query.Text(9);
    rebuilds.push_back(std::move(entry));
  }
  return rebuilds;
}

std::optional<MemberEntry> Member(Database& db, const HistoryQuery& query) {
  Statement member(db.handle(),
                   "SELECT id, serial, model, capacity_sectors, first_seen, last_seen, failures, "
                   "last_failed FROM members WHERE serial = ?1");
  member.Bind(1, *query.serial);
  if (!member.Step()) return std::nullopt;
  MemberEntry entry;
  const int64_t row = member.Int(0);
  entry.serial = member.Text(1);
  entry.model = member.Text(2);
  entry.capacitySectors = static_cast<uint64_t>(member.Int(3));
  entry.firstSeen = member.Int(4);
  entry.lastSeen = member.Int(5);
  entry.failures = member.Int(6);
  entry.lastFailed = OptionalInt(member, 7);
  Statement placements(db.handle(),
                       "SELECT e.stable_id, e.name, p.port, p.first_seen, p.last_seen FROM "
                       "placements p JOIN enclosures e ON e.id = p.enclosure WHERE p.member = ?1 "
                       "ORDER BY p.first_seen, e.id, p.port");
  placements.Bind(1, row);
  while (placements.Step()) {
    entry.placements.push_back({placements.Text(0), placements.Text(1), *PortOf(placements, 2),
                                placements.Int(3), placements.Int(4)});
  }
  Statement events(db.handle(), std::string(kEventColumns) +
                                    "WHERE v.serial = ?1 AND v.time >= ?2 ORDER BY v.time, v.id");
  events.Bind(1, *query.serial).Bind(2, query.since);
  entry.events = Events(events);
  Statement rebuilds(db.handle(), std::string(kRebuildColumns) +
                                      "WHERE (r.source_serial = ?1 OR r.target_serial = ?1) AND "
                                      "(r.ended IS NULL OR r.ended >= ?2) ORDER BY r.started, "
                                      "r.id");
  rebuilds.Bind(1, *query.serial).Bind(2, query.since);
  entry.rebuilds = Rebuilds(rebuilds);
  return entry;
}

std::vector<EnclosureEntry> Enclosures(Database& db, const HistoryQuery& query) {
  std::vector<EnclosureEntry> enclosures;
  Statement rows(db.handle(),
                 "SELECT id, stable_id, name, firmware, mode, volume_sectors, first_seen, "
                 "last_seen FROM enclosures ORDER BY first_seen, id");
  Statement events(
      db.handle(),
      std::string(kEventColumns) + "WHERE v.enclosure = ?1 AND v.time >= ?2 ORDER BY v.time, v.id");
  Statement rebuilds(db.handle(), std::string(kRebuildColumns) +
                                      "WHERE r.enclosure = ?1 AND (r.ended IS NULL OR r.ended >= "
                                      "?2) ORDER BY r.started, r.id");
  while (rows.Step()) {
    EnclosureEntry entry;
    const int64_t row = rows.Int(0);
    entry.id = rows.Text(1);
    entry.name = rows.Text(2);
    entry.firmware = rows.Text(3);
    entry.mode = static_cast<uint8_t>(rows.Int(4));
    entry.volumeSectors = static_cast<uint64_t>(rows.Int(5));
    entry.firstSeen = rows.Int(6);
    entry.lastSeen = rows.Int(7);
    events.Bind(1, row).Bind(2, query.since);
    entry.events = Events(events);
    events.Reset();
    rebuilds.Bind(1, row).Bind(2, query.since);
    entry.rebuilds = Rebuilds(rebuilds);
    rebuilds.Reset();
    enclosures.push_back(std::move(entry));
  }
  return enclosures;
}

// A reader beside the writer can find the log's index being moved on for a
// moment (the writer restarting its log after a checkpoint): SQLite then
// says the file is busy, which is only a wait, never the reader's failure.
constexpr int kReaderBusyTimeoutMs = 5000;

std::unique_ptr<Database> OpenReadOnly(const fs::path& file) {
  try {
    auto db =
        std::make_unique<Database>(file.string(), SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW);
    db->SetBusyTimeout(kReaderBusyTimeoutMs);
    SchemaVersion(*db);
    return db;
  } catch (const DatabaseError& error) {
    const int primary = error.code() & 0xFF;
    if (primary != SQLITE_CANTOPEN && primary != SQLITE_READONLY) throw;
  }
  // Without a writer the file has no log beside it, and one who may not
  // write the folder cannot make the shared index a reader needs; with no
  // writer there is nothing to share, and the file is read as it stands.
  return std::make_unique<Database>("file:" + file.string() + "?immutable=1",
                                    SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_URI);
}

}  // namespace

std::optional<double> HistoryReader::RebuildRate(const std::string& enclosureId,
                                                 uint64_t volumeSectors) {
  try {
    Snapshot snapshot(*db_);
    Statement& query = db_->Cached(
        "SELECT r.outcome, r.sectors, r.first_step_at, r.first_step_percent, r.percent_at, "
        "r.percent FROM rebuilds r JOIN enclosures e ON e.id = r.enclosure WHERE e.stable_id = ? "
        "AND r.first_step_at IS NOT NULL AND r.percent_at IS NOT NULL "
        "AND (r.outcome IS NULL OR r.outcome = 'completed') ORDER BY r.started DESC");
    query.Reset();
    query.Bind(1, enclosureId);
    std::optional<double> rate;
    while (!rate && query.Step()) {
      const bool running = query.IsNull(0);
      const auto measured = MeasuredRate(query.Int(2), static_cast<int>(query.Int(3)), query.Int(4),
                                         static_cast<int>(query.Int(5)));
      if (!measured) continue;
      // A finished rebuild of a larger volume went faster per percent.
      const auto sectors = static_cast<uint64_t>(query.Int(1));
      rate = running || sectors == 0 || volumeSectors == 0
                 ? *measured
                 : *measured * static_cast<double>(sectors) / static_cast<double>(volumeSectors);
    }
    query.Reset();
    return rate;
  } catch (const DatabaseError&) {
    return std::nullopt;
  }
}

HistoryReader::HistoryReader(std::unique_ptr<Database> db) : db_(std::move(db)) {}

HistoryReader::~HistoryReader() = default;

std::unique_ptr<HistoryReader> HistoryReader::Open(const fs::path& file, std::string& why) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) {
    why = "there is no history in " + PathText(file) + " yet";
    return nullptr;
  }
  try {
    auto db = OpenReadOnly(file);
    const int version = SchemaVersion(*db);
    if (version == 0) {
      why = "there is no history in " + PathText(file) + " yet";
      return nullptr;
    }
    if (version > LatestSchemaVersion()) {
      why = "the history " + PathText(file) + " was written by a newer version of this program";
      return nullptr;
    }
    if (version < LatestSchemaVersion()) {
      why = "the history " + PathText(file) +
            " is an older version's; it is brought up to date when it is next written to";
      return nullptr;
    }
    return std::unique_ptr<HistoryReader>(new HistoryReader(std::move(db)));
  } catch (const DatabaseError& error) {
    why = "the history " + PathText(file) + " cannot be read: " + error.what();
    return nullptr;
  }
}

std::optional<HistoryReport> HistoryReader::Report(const HistoryQuery& query, std::string& why) {
  try {
    HistoryReport report;
    report.query = query;
    Snapshot snapshot(*db_);
    if (query.serial) {
      report.member = Member(*db_, query);
    } else {
      report.enclosures = Enclosures(*db_, query);
    }
    return report;
  } catch (const DatabaseError& error) {
    why = std::string("the history cannot be read: ") + error.what();
    return std::nullopt;
  }
}

}  // namespace px::history
