#include "history/schema.h"

#include <array>
#include <string>

namespace px::history {
namespace {

// Times are Unix seconds, ports 0 (P0) and 1 (P1), states and severities the
// values of their enums. Device texts are stored as the bytes they are.
constexpr std::array<SchemaStep, 2> kSteps = {{
    {1, R"sql(
CREATE TABLE enclosures (
  id INTEGER PRIMARY KEY,
  stable_id TEXT NOT NULL UNIQUE,
  name TEXT NOT NULL,
  firmware TEXT NOT NULL,
  mode INTEGER NOT NULL,
  volume_sectors INTEGER NOT NULL,
  first_seen INTEGER NOT NULL,
  last_seen INTEGER NOT NULL
);
-- A disk, by its serial number, and where it was seen last.
CREATE TABLE members (
  id INTEGER PRIMARY KEY,
  serial TEXT NOT NULL UNIQUE,
  model TEXT NOT NULL,
  capacity_sectors INTEGER NOT NULL,
  first_seen INTEGER NOT NULL,
  last_seen INTEGER NOT NULL,
  last_enclosure INTEGER NOT NULL REFERENCES enclosures(id),
  last_port INTEGER NOT NULL,
  failures INTEGER NOT NULL DEFAULT 0,
  last_failed INTEGER
);
-- Every bay of every enclosure a disk was seen in.
CREATE TABLE placements (
  member INTEGER NOT NULL REFERENCES members(id),
  enclosure INTEGER NOT NULL REFERENCES enclosures(id),
  port INTEGER NOT NULL,
  first_seen INTEGER NOT NULL,
  last_seen INTEGER NOT NULL,
  PRIMARY KEY (member, enclosure, port)
) WITHOUT ROWID;
-- What each bay held at the last reading (serial '' when empty), and its disk
-- in the last pair that was whole: ready, both, with no rebuild running.
CREATE TABLE bays (
  enclosure INTEGER NOT NULL REFERENCES enclosures(id),
  port INTEGER NOT NULL,
  state INTEGER NOT NULL,
  serial TEXT NOT NULL,
  pair_serial TEXT NOT NULL,
  PRIMARY KEY (enclosure, port)
) WITHOUT ROWID;
CREATE TABLE events (
  id INTEGER PRIMARY KEY,
  enclosure INTEGER NOT NULL REFERENCES enclosures(id),
  time INTEGER NOT NULL,
  name TEXT NOT NULL,
  severity INTEGER NOT NULL,
  port INTEGER,
  serial TEXT NOT NULL,
  message TEXT NOT NULL
);
CREATE INDEX events_by_enclosure ON events (enclosure, time);
)sql"},
    {2, R"sql(
-- Every rebuild or copy between an enclosure's members. Its rate is measured
-- between the first time its percentage moved and the last.
CREATE TABLE rebuilds (
  id INTEGER PRIMARY KEY,
  enclosure INTEGER NOT NULL REFERENCES enclosures(id),
  started INTEGER NOT NULL,
  ended INTEGER,
  direction INTEGER NOT NULL,
  source_serial TEXT NOT NULL,
  target_serial TEXT NOT NULL,
  sectors INTEGER NOT NULL,
  start_percent INTEGER NOT NULL,
  percent INTEGER NOT NULL,
  percent_at INTEGER,
  first_step_at INTEGER,
  first_step_percent INTEGER,
  -- NULL while it runs; 'completed' (both members ready after it) or
  -- 'interrupted'.
  outcome TEXT
);
CREATE INDEX rebuilds_by_enclosure ON rebuilds (enclosure, started);
)sql"},
}};

}  // namespace

std::span<const SchemaStep> SchemaSteps() {
  return kSteps;
}

int LatestSchemaVersion() {
  return kSteps.back().version;
}

int SchemaVersion(Database& db) {
  return std::stoi(db.Value("PRAGMA user_version"));
}

void Migrate(Database& db, int target) {
  for (const SchemaStep& step : kSteps) {
    if (step.version > target) break;
    Transaction transaction(db);
    // Read inside the transaction: another program may have migrated the
    // file since it was opened.
    if (SchemaVersion(db) >= step.version) continue;
    db.Exec(step.sql);
    db.Exec("PRAGMA user_version = " + std::to_string(step.version));
    transaction.Commit();
  }
}

}  // namespace px::history
