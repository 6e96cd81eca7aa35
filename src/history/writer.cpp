#include "history/writer.h"

#include <sqlite3.h>

#include <algorithm>

#include "common/text.h"
#include "history/database.h"
#include "history/schema.h"

namespace px::history {

namespace fs = std::filesystem;

namespace {

constexpr int64_t kPruneEverySeconds = 24 * 3600;
// How many of the program's events wait for a file that cannot be written.
constexpr std::size_t kMaxUnwritten = 1000;
// A writer waits this long for a reader that is recovering the file after a
// crash; readers never hold it up otherwise.
constexpr int kBusyTimeoutMs = 1000;

int64_t PortValue(Port port) {
  return static_cast<int64_t>(IndexOf(port));
}

int64_t StateValue(MemberState state) {
  return static_cast<int64_t>(state);
}

MemberState StateOf(int64_t value) {
  switch (value) {
    case 1:
      return MemberState::Ready;
    case 2:
      return MemberState::Inserted;
    case 3:
      return MemberState::Failed;
    default:
      return MemberState::Absent;
  }
}

void WriteEnclosure(Database& db, EnclosureMemory& next, const std::string& id, int64_t firstSeen) {
  Statement& upsert = db.Cached(
      "INSERT INTO enclosures (stable_id, name, firmware, mode, volume_sectors, first_seen, "
      "last_seen) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7) ON CONFLICT (stable_id) DO UPDATE SET "
      "name = ?2, firmware = ?3, mode = ?4, volume_sectors = ?5, last_seen = ?7 RETURNING id");
  upsert.Bind(1, id)
      .Bind(2, next.name)
      .Bind(3, next.firmware)
      .Bind(4, next.mode)
      .Bind(5, static_cast<int64_t>(next.volumeSectors))
      .Bind(6, firstSeen)
      .Bind(7, next.lastSeen);
  upsert.Step();
  next.row = upsert.Int(0);
  upsert.Reset();
}

// The disk in `port` seen at `time`: its row, and the bay among its places.
void WriteMember(Database& db, int64_t enclosure, Port port, const MemberObservation& member,
                 int64_t time) {
  db.Cached(
        "INSERT INTO members (serial, model, capacity_sectors, first_seen, last_seen, "
        "last_enclosure, last_port) VALUES (?1, ?2, ?3, ?4, ?4, ?5, ?6) ON CONFLICT (serial) "
        "DO UPDATE SET model = ?2, capacity_sectors = ?3, last_seen = ?4, last_enclosure = ?5, "
        "last_port = ?6")
      .Bind(1, member.serial)
      .Bind(2, member.model)
      .Bind(3, static_cast<int64_t>(member.capacitySectors))
      .Bind(4, time)
      .Bind(5, enclosure)
      .Bind(6, PortValue(port))
      .Run();
  db.Cached(
        "INSERT INTO placements (member, enclosure, port, first_seen, last_seen) VALUES "
        "((SELECT id FROM members WHERE serial = ?1), ?2, ?3, ?4, ?4) ON CONFLICT DO UPDATE "
        "SET last_seen = ?4")
      .Bind(1, member.serial)
      .Bind(2, enclosure)
      .Bind(3, PortValue(port))
      .Bind(4, time)
      .Run();
}

// A disk that left its bay was last seen at the reading before.
void WriteDeparture(Database& db, int64_t enclosure, Port port, const std::string& serial,
                    int64_t time) {
  db.Cached("UPDATE members SET last_seen = max(last_seen, ?2) WHERE serial = ?1")
      .Bind(1, serial)
      .Bind(2, time)
      .Run();
  db.Cached(
        "UPDATE placements SET last_seen = max(last_seen, ?4) WHERE member = (SELECT id FROM "
        "members WHERE serial = ?1) AND enclosure = ?2 AND port = ?3")
      .Bind(1, serial)
      .Bind(2, enclosure)
      .Bind(3, PortValue(port))
      .Bind(4, time)
      .Run();
}

void WriteFailure(Database& db, const std::string& serial, int64_t time) {
  db.Cached("UPDATE members SET failures = failures + 1, last_failed = ?2 WHERE serial = ?1")
      .Bind(1, serial)
      .Bind(2, time)
      .Run();
}

void WriteBay(Database& db, int64_t enclosure, Port port, const BayMemory& bay) {
  db.Cached(
        "INSERT OR REPLACE INTO bays (enclosure, port, state, serial, pair_serial) VALUES "
        "(?1, ?2, ?3, ?4, ?5)")
      .Bind(1, enclosure)
      .Bind(2, PortValue(port))
      .Bind(3, StateValue(bay.state))
      .Bind(4, bay.serial)
      .Bind(5, bay.pairSerial)
      .Run();
}

void BindOptional(Statement& statement, int index, const std::optional<int64_t>& value) {
  if (value) {
    statement.Bind(index, *value);
  } else {
    statement.BindNull(index);
  }
}

// A rebuild that ended at `time`: completed when both members are ready after
// it.
void WriteRebuildEnd(Database& db, const RebuildMemory& rebuild, const Observation& now) {
  const bool completed = !now.rebuild && now.members[0].state == MemberState::Ready &&
                         now.members[1].state == MemberState::Ready;
  db.Cached("UPDATE rebuilds SET ended = ?2, outcome = ?3 WHERE id = ?1")
      .Bind(1, rebuild.row)
      .Bind(2, now.time)
      .Bind(3, completed ? "completed" : "interrupted")
      .Run();
}

void WriteRebuild(Database& db, int64_t enclosure, RebuildMemory& rebuild) {
  if (rebuild.row == 0) {
    Statement& insert = db.Cached(
        "INSERT INTO rebuilds (enclosure, started, direction, source_serial, target_serial, "
        "sectors, start_percent, percent) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?7) RETURNING id");
    insert.Bind(1, enclosure)
        .Bind(2, rebuild.started)
        .Bind(3, static_cast<int64_t>(rebuild.direction))
        .Bind(4, rebuild.sourceSerial)
        .Bind(5, rebuild.targetSerial)
        .Bind(6, static_cast<int64_t>(rebuild.sectors))
        .Bind(7, rebuild.startPercent);
    insert.Step();
    rebuild.row = insert.Int(0);
    insert.Reset();
    return;
  }
  Statement& update = db.Cached(
      "UPDATE rebuilds SET percent = ?2, percent_at = ?3, first_step_at = ?4, "
      "first_step_percent = ?5 WHERE id = ?1");
  update.Bind(1, rebuild.row).Bind(2, rebuild.percent);
  BindOptional(update, 3, rebuild.percentAt);
  BindOptional(update, 4, rebuild.firstStepAt);
  update.Bind(5, rebuild.firstStepPercent);
  update.Run();
}

void WriteEvent(Database& db, int64_t enclosure, const Event& event) {
  Statement& insert = db.Cached(
      "INSERT INTO events (enclosure, time, name, severity, port, serial, message) VALUES "
      "(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
  insert.Bind(1, enclosure)
      .Bind(2, event.time)
      .Bind(3, event.name)
      .Bind(4, static_cast<int64_t>(event.severity))
      .Bind(6, event.serial)
      .Bind(7, event.message);
  if (event.port) {
    insert.Bind(5, PortValue(*event.port));
  } else {
    insert.BindNull(5);
  }
  insert.Run();
}

}  // namespace

HistoryWriter::HistoryWriter(fs::path file, WriterOptions options)
    : file_(std::move(file)), options_(std::move(options)) {
  std::string why;
  const auto folder = PrepareFolder(file_.parent_path(), why);
  if (folder) {
    file_ = *folder / file_.filename();
    lock_ = WriterLock::Take(file_, why);
  }
  if (lock_) {
    Attach();
  } else {
    KeepInMemory(why);
  }
}

HistoryWriter::~HistoryWriter() = default;

void HistoryWriter::Say(Notice::Kind kind, const std::string& text) {
  if (options_.notice) options_.notice({kind, text});
}

void HistoryWriter::Attach() {
  std::string why;
  try {
    db_ = OpenFile(why);
    if (db_) LoadMemory();
  } catch (const DatabaseError& error) {
    db_.reset();
    why = error.what();
  }
  if (!db_) KeepInMemory(why);
}

std::unique_ptr<Database> HistoryWriter::OpenFile(std::string& why) {
  const auto open = [this] {
    auto db = std::make_unique<Database>(
        file_.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW);
    db->SetBusyTimeout(kBusyTimeoutMs);
    return db;
  };
  for (;;) {
    auto db = open();
    std::string damage;
    int version = 0;
    try {
      version = SchemaVersion(*db);
      const std::string check = db->Value("PRAGMA quick_check");
      if (check != "ok") damage = check;
    } catch (const DatabaseError& error) {
      if (!error.Damaged()) throw;
      damage = error.what();
    }
    if (!damage.empty()) {
      db.reset();
      if (!SetAsideFile("corrupt", "is damaged (" + damage + ")", why)) return nullptr;
      continue;
    }
    if (version > LatestSchemaVersion()) {
      db.reset();
      if (!SetAsideFile("v" + std::to_string(version),
                        "was written by a newer version of this program (its schema is " +
                            std::to_string(version) + ", this one's " +
                            std::to_string(LatestSchemaVersion()) + ")",
                        why))
        return nullptr;
      continue;
    }
    // A process that dies loses nothing it committed; the machine losing
    // power may lose the last polls, never the file. Syncing at every
    // commit would cost a flush of the disk every poll.
    if (db->Value("PRAGMA journal_mode = WAL") != "wal")
      throw DatabaseError(SQLITE_ERROR, "it cannot keep a write-ahead log there");
    db->Exec("PRAGMA synchronous = NORMAL");
    Migrate(*db);
    return db;
  }
}

bool HistoryWriter::SetAsideFile(std::string_view label, const std::string& what,
                                 std::string& why) {
  const auto moved = SetAside(file_, label, why);
  if (!moved) {
    why = "it " + what + " and could not be set aside: " + why;
    return false;
  }
  Say(Notice::Kind::SetAside, "The history " + PathText(file_) + " " + what +
                                  "; it was set aside as " + PathText(*moved) +
                                  " and a new one begun.");
  return true;
}

void HistoryWriter::KeepInMemory(const std::string& why) {
  lock_.reset();
  db_ = std::make_unique<Database>(":memory:",
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_MEMORY);
  Migrate(*db_);
  inMemory_ = true;
  memory_.clear();
  Say(Notice::Kind::NotKept, "The history cannot be kept in " + PathText(file_) + " (" + why +
                                 "): this run keeps it in memory only.");
}

void HistoryWriter::LoadMemory() {
  memory_.clear();
  std::unordered_map<int64_t, EnclosureMemory*> byRow;
  Statement enclosures(
      db_->handle(),
      "SELECT id, stable_id, name, firmware, mode, volume_sectors, last_seen FROM enclosures");
  while (enclosures.Step()) {
    EnclosureMemory& memory = memory_[enclosures.Text(1)];
    memory.row = enclosures.Int(0);
    memory.name = enclosures.Text(2);
    memory.firmware = enclosures.Text(3);
    memory.mode = static_cast<uint8_t>(enclosures.Int(4));
    memory.volumeSectors = static_cast<uint64_t>(enclosures.Int(5));
    memory.lastSeen = enclosures.Int(6);
    byRow[memory.row] = &memory;
  }
  Statement bays(db_->handle(), "SELECT enclosure, port, state, serial, pair_serial FROM bays");
  while (bays.Step()) {
    const auto found = byRow.find(bays.Int(0));
    const int64_t port = bays.Int(1);
    if (found == byRow.end() || port < 0 || port > 1) continue;
    EnclosureMemory& memory = *found->second;
    memory.answered = true;
    memory.bays[static_cast<std::size_t>(port)] = {StateOf(bays.Int(2)), bays.Text(3),
                                                   bays.Text(4)};
  }
  const auto optional = [](const Statement& row, int column) {
    return row.IsNull(column) ? std::nullopt : std::optional<int64_t>(row.Int(column));
  };
  // Oldest first: of each enclosure, the last rebuild that ran stays, and
  // the rate of the last one measured.
  Statement rebuilds(db_->handle(),
                     "SELECT enclosure, id, started, direction, source_serial, target_serial, "
                     "sectors, start_percent, percent, percent_at, first_step_at, "
                     "first_step_percent, outcome FROM rebuilds ORDER BY started, id");
  while (rebuilds.Step()) {
    const auto found = byRow.find(rebuilds.Int(0));
    if (found == byRow.end()) continue;
    RebuildMemory rebuild;
    rebuild.row = rebuilds.Int(1);
    rebuild.started = rebuilds.Int(2);
    rebuild.direction =
        rebuilds.Int(3) == 0 ? RebuildDirection::TowardsP0 : RebuildDirection::TowardsP1;
    rebuild.sourceSerial = rebuilds.Text(4);
    rebuild.targetSerial = rebuilds.Text(5);
    rebuild.sectors = static_cast<uint64_t>(rebuilds.Int(6));
    rebuild.startPercent = static_cast<int>(rebuilds.Int(7));
    rebuild.percent = static_cast<int>(rebuilds.Int(8));
    rebuild.percentAt = optional(rebuilds, 9);
    rebuild.firstStepAt = optional(rebuilds, 10);
    rebuild.firstStepPercent = static_cast<int>(rebuilds.Int(11));
    EnclosureMemory& memory = *found->second;
    if (const auto rate = RateOf(rebuild)) memory.lastRate = rate;
    memory.rebuild.reset();
    if (rebuilds.IsNull(12)) memory.rebuild = rebuild;
  }
}

std::vector<EnclosureResult> HistoryWriter::RecordPoll(std::span<const Observation> observations,
                                                       std::span<const Event> events) {
  int64_t now = 0;
  for (const Observation& observation : observations) now = std::max(now, observation.time);
  for (const Event& event : events) now = std::max(now, event.time);
  std::vector<EnclosureResult> results(observations.size());
  for (std::size_t i = 0; i < observations.size(); ++i) {
    const Observation& observation = observations[i];
    if (!observation.answered) continue;
    RebuildEstimator& estimator = estimators_[observation.enclosureId];
    estimator.Observe(observation.time, observation.rebuild);
    results[i].remainingSeconds = estimator.Remaining(observation.time, FallbackRate(observation));
  }
  Poll poll;
  for (int attempt = 0;; ++attempt) {
    try {
      poll = Prepare(observations);
      Write(poll, events);
      break;
    } catch (const DatabaseError& error) {
      if (error.Damaged() && !inMemory_ && attempt == 0) {
        // Damaged under our hands (a disk that lost sectors): set aside, and
        // this poll goes into the new file.
        db_.reset();
        std::string why;
        if (SetAsideFile("corrupt", "is damaged (" + std::string(error.what()) + ")", why)) {
          Attach();
        } else {
          KeepInMemory(why);
        }
        continue;
      }
      Trouble(error.what());
      unwritten_.insert(unwritten_.end(), events.begin(), events.end());
      if (unwritten_.size() > kMaxUnwritten)
        unwritten_.erase(
            unwritten_.begin(),
            unwritten_.begin() + static_cast<std::ptrdiff_t>(unwritten_.size() - kMaxUnwritten));
      // The memory stays with the file, so the next poll finds the same
      // warnings again: each is told only once.
      for (const Change& change : poll.changes) {
        for (const Event& warning : change.warnings) {
          if (told_.insert(WarningKey(warning)).second)
            results[change.index].warnings.push_back(warning);
        }
      }
      return results;
    }
  }
  for (Change& change : poll.changes) {
    for (Event& warning : change.warnings) {
      if (!told_.contains(WarningKey(warning)))
        results[change.index].warnings.push_back(std::move(warning));
    }
  }
  told_.clear();
  if (!lastPrune_ || now - *lastPrune_ >= kPruneEverySeconds) {
    try {
      Prune(now);
    } catch (const DatabaseError& error) {
      Trouble(error.what());
    }
  }
  return results;
}

std::optional<double> HistoryWriter::FallbackRate(const Observation& observation) const {
  const auto found = memory_.find(observation.enclosureId);
  if (found == memory_.end() || !found->second.lastRate) return std::nullopt;
  const RebuildRate& last = *found->second.lastRate;
  // A larger volume takes longer at the same speed.
  if (last.sectors == 0 || observation.volumeSectors == 0) return last.percentPerSecond;
  return last.percentPerSecond * static_cast<double>(last.sectors) /
         static_cast<double>(observation.volumeSectors);
}

void HistoryWriter::Trouble(const std::string& what) {
  if (what == lastTrouble_) return;
  lastTrouble_ = what;
  Say(Notice::Kind::NotWritten, "The history " + PathText(file_) + " could not be written (" +
                                    what + "); what it misses is written with a later poll.");
}

std::string HistoryWriter::WarningKey(const Event& warning) {
  return warning.enclosureId + '\n' + warning.name + '\n' +
         (warning.port ? std::string(PortName(*warning.port)) : std::string()) + '\n' +
         warning.serial;
}

DiskPast HistoryWriter::PastOf(const std::string& serial) {
  Statement& query = db_->Cached(
      "SELECT e.stable_id, e.name, m.last_port, m.last_seen, m.failures, m.last_failed FROM "
      "members m JOIN enclosures e ON e.id = m.last_enclosure WHERE m.serial = ?1");
  query.Bind(1, serial);
  DiskPast past;
  if (query.Step()) {
    past.seen = true;
    past.lastEnclosureId = query.Text(0);
    past.lastEnclosureName = query.Text(1);
    past.lastPort = query.Int(2) == 1 ? Port::P1 : Port::P0;
    past.lastSeen = query.Int(3);
    past.failures = query.Int(4);
    past.lastFailed = query.Int(5);
  }
  query.Reset();
  return past;
}

HistoryWriter::Poll HistoryWriter::Prepare(std::span<const Observation> observations) {
  Poll poll;
  static const EnclosureMemory kUnknown;
  for (std::size_t index = 0; index < observations.size(); ++index) {
    Observation now = Normalized(observations[index]);
    const auto found = memory_.find(now.enclosureId);
    const EnclosureMemory& before = found != memory_.end() ? found->second : kUnknown;
    // Never read, and silent: there is nothing to keep of it yet.
    if (before.row == 0 && !now.answered) continue;
    EnclosureMemory next = Advance(before, now, options_.lastSeenEverySeconds);
    if (next == before) continue;
    std::array<DiskPast, 2> pasts;
    for (Port port : kPorts) {
      const std::string& serial = now.members[IndexOf(port)].serial;
      if (!serial.empty() && (Arrived(before, now, port) || FailedAnew(before, now, port)))
        pasts[IndexOf(port)] = PastOf(serial);
    }
    std::vector<Event> warnings = DeriveWarnings(before, now, pasts);
    poll.changes.push_back({index, &before, std::move(next), std::move(now), std::move(warnings)});
  }
  return poll;
}

int64_t HistoryWriter::EnclosureRow(const Poll& poll, const std::string& id, int64_t time) {
  for (const Change& change : poll.changes) {
    if (change.now.enclosureId == id) return change.next.row;
  }
  const auto found = memory_.find(id);
  if (found != memory_.end() && found->second.row != 0) return found->second.row;
  // An event of an enclosure that was never read: a row to hang it on.
  Statement& insert = db_->Cached(
      "INSERT INTO enclosures (stable_id, name, firmware, mode, volume_sectors, first_seen, "
      "last_seen) VALUES (?1, '', '', ?2, 0, ?3, ?3) ON CONFLICT (stable_id) DO UPDATE SET "
      "stable_id = stable_id RETURNING id");
  insert.Bind(1, id).Bind(2, kModeMirror).Bind(3, time);
  insert.Step();
  const int64_t row = insert.Int(0);
  insert.Reset();
  return row;
}

void HistoryWriter::Write(Poll& poll, std::span<const Event> events) {
  // What the program saw, then what the history makes of it.
  std::vector<Event> toWrite = unwritten_;
  for (const Event& event : events) toWrite.push_back(Normalized(event));
  for (const Change& change : poll.changes)
    toWrite.insert(toWrite.end(), change.warnings.begin(), change.warnings.end());
  if (poll.changes.empty() && toWrite.empty()) return;

  Transaction transaction(*db_);
  for (Change& change : poll.changes) {
    const EnclosureMemory& before = *change.before;
    EnclosureMemory& next = change.next;
    const Observation& seen = change.now;
    const bool refreshed = next.lastSeen != before.lastSeen;
    if (before.row == 0 || refreshed || next.name != before.name ||
        next.firmware != before.firmware || next.mode != before.mode ||
        next.volumeSectors != before.volumeSectors)
      WriteEnclosure(*db_, next, seen.enclosureId, seen.time);
    if (!seen.answered) continue;
    const auto reading = lastReading_.find(seen.enclosureId);
    const int64_t lastReading = reading != lastReading_.end() ? reading->second : before.lastSeen;
    for (Port port : kPorts) {
      const MemberObservation& member = seen.members[IndexOf(port)];
      const BayMemory& was = before.bays[IndexOf(port)];
      const BayMemory& is = next.bays[IndexOf(port)];
      if (!member.serial.empty() && (refreshed || was.serial != is.serial || !before.answered))
        WriteMember(*db_, next.row, port, member, seen.time);
      if (!was.serial.empty() && was.serial != is.serial)
        WriteDeparture(*db_, next.row, port, was.serial, lastReading);
      if (!member.serial.empty() && FailedAnew(before, seen, port))
        WriteFailure(*db_, member.serial, seen.time);
      if (was != is || !before.answered) WriteBay(*db_, next.row, port, is);
    }
    const bool anew = next.rebuild && next.rebuild->row == 0;
    if (before.rebuild && (!next.rebuild || anew)) WriteRebuildEnd(*db_, *before.rebuild, seen);
    if (next.rebuild && (anew || next.rebuild != before.rebuild))
      WriteRebuild(*db_, next.row, *next.rebuild);
  }
  for (const Event& event : toWrite)
    WriteEvent(*db_, EnclosureRow(poll, event.enclosureId, event.time), event);
  transaction.Commit();

  for (Change& change : poll.changes) {
    if (change.now.answered) lastReading_[change.now.enclosureId] = change.now.time;
    memory_[change.now.enclosureId] = change.next;
  }
  unwritten_.clear();
  lastTrouble_.clear();
}

void HistoryWriter::Prune(int64_t now) {
  Transaction transaction(*db_);
  db_->Cached("DELETE FROM events WHERE time < ?1").Bind(1, now - options_.keepEventsSeconds).Run();
  db_->Cached("DELETE FROM events WHERE id <= (SELECT max(id) FROM events) - ?1")
      .Bind(1, static_cast<int64_t>(options_.maxEvents))
      .Run();
  transaction.Commit();
  lastPrune_ = now;
}

}  // namespace px::history
