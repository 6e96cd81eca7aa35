// The history file as the service meets it: made, reopened, damaged, from a
// newer version, in a folder others may change, wanted by two programs.
// Whatever it meets, the writer goes on and says what it did once.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "history/database.h"
#include "history/schema.h"
#include "history/warnings.h"
#include "unit/history/history_test_support.h"

namespace px::history {
namespace {

namespace fs = std::filesystem;
using namespace test;

std::string Value(const fs::path& file, const std::string& sql) {
  Database db(file.string(), SQLITE_OPEN_READONLY);
  return db.Value(sql);
}

int64_t Count(const fs::path& file, const std::string& sql) {
  return std::stoll(Value(file, sql));
}

// A short story the writer must tell right whether it keeps a file or not:
// a disk it never saw arriving in a degraded mirror.
std::vector<Event> ForeignDiskStory(HistoryWriter& writer, int64_t& time) {
  std::vector<Event> warnings;
  for (const Observation& state :
       {Mirror("E1", Disk("A"), Disk("B")), Mirror("E1", Disk("A"), Gone()),
        Mirror("E1", Disk("A"), Inserted(Disk("C")))}) {
    Observation now = state;
    now.time = time += kPollSeconds;
    for (const EnclosureResult& result : writer.RecordPoll({&now, 1}, {}))
      warnings.insert(warnings.end(), result.warnings.begin(), result.warnings.end());
  }
  return warnings;
}

TEST(HistoryStore, KeepsWhatItLearnedFromOneRunToTheNext) {
  TempDir dir;
  NoticeLog log;
  int64_t time = kStart;
  {
    HistoryWriter writer(HistoryIn(dir), log.Options());
    EXPECT_FALSE(writer.InMemory());
    Observation first = Mirror("E1", Disk("A"), Disk("B"));
    first.time = time;
    writer.RecordPoll({&first, 1}, {});
  }
  HistoryWriter writer(HistoryIn(dir), log.Options());
  // "C" arrives in the next run: it is a stranger only because the first run
  // remembered "A" and "B".
  const std::vector<Event> warnings = ForeignDiskStory(writer, time);
  ASSERT_EQ(warnings.size(), 1U);
  EXPECT_EQ(warnings[0].name, kForeignMember);
  EXPECT_TRUE(log.notices.empty());
  EXPECT_EQ(Count(HistoryIn(dir), "PRAGMA user_version"), LatestSchemaVersion());
  EXPECT_EQ(Value(HistoryIn(dir), "PRAGMA journal_mode"), "wal");
}

// A file from before rebuilds were kept: brought up to date in place, with
// everything it held.
TEST(HistoryStore, BringsAnOlderFileUpToDateKeepingWhatItHeld) {
  TempDir dir;
  {
    Database db(HistoryIn(dir).string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    db.Exec("PRAGMA journal_mode = WAL");
    Migrate(db, 1);
    db.Exec(
        "INSERT INTO enclosures VALUES (1, 'E1', 'PX RAID1 Dual Bay', '140318.5', 1, 1953525168, "
        "1796000000, 1796600000);"
        "INSERT INTO members VALUES (1, 'A', 'WDC', 1953525168, 1796000000, 1796600000, 1, 0, 0, "
        "NULL), (2, 'B', 'WDC', 1953525168, 1796000000, 1796600000, 1, 1, 0, NULL);"
        "INSERT INTO bays VALUES (1, 0, 1, 'A', 'A'), (1, 1, 0, '', 'B');"
        "INSERT INTO events VALUES (1, 1, 1796600000, 'MemberRemoved', 0, 1, 'B', 'D1 P1 "
        "removed');");
  }
  NoticeLog log;
  HistoryWriter writer(HistoryIn(dir), log.Options());
  EXPECT_TRUE(log.notices.empty());
  EXPECT_EQ(Count(HistoryIn(dir), "PRAGMA user_version"), LatestSchemaVersion());
  EXPECT_EQ(Count(HistoryIn(dir), "SELECT count(*) FROM events"), 1);
  // The old file's memory: B was pulled from P1, so C is a stranger there.
  Observation now = Mirror("E1", Disk("A"), Inserted(Disk("C")));
  now.time = kStart;
  const std::vector<EnclosureResult> results = writer.RecordPoll({&now, 1}, {});
  ASSERT_EQ(results[0].warnings.size(), 1U);
  EXPECT_EQ(results[0].warnings[0].name, kForeignMember);
  now.members[1].state = MemberState::Ready;
  now.rebuild = RebuildObservation{RebuildDirection::TowardsP1, 0};
  now.time += kPollSeconds;
  writer.RecordPoll({&now, 1}, {});
  EXPECT_EQ(Count(HistoryIn(dir), "SELECT count(*) FROM rebuilds WHERE target_serial = 'C'"), 1);
}

TEST(HistoryStore, SetsAsideADamagedFileOrANewerVersionsAndBeginsANewOne) {
  struct Case {
    const char* name;
    void (*spoil)(const fs::path& file);
    const char* setAsideAs;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"no database at all",
       [](const fs::path& file) { px::test::WriteBytes(file, std::string(8192, 'x')); },
       "history-corrupt.sqlite", "is damaged (file is not a database)"},
      {"a damaged page",
       [](const fs::path& file) {
         {
           HistoryWriter writer(file);
           Observation now = Mirror("E1", Disk("A"), Disk("B"));
           writer.RecordPoll({&now, 1}, {});
         }
         std::string bytes = px::test::ReadBytes(file);
         ASSERT_GE(bytes.size(), 3 * 4096U);
         for (std::size_t i = 4096; i < 2 * 4096; ++i) bytes[i] = '\x5a';
         px::test::WriteBytes(file, bytes);
       },
       "history-corrupt.sqlite", "is damaged ("},
      {"a newer version's",
       [](const fs::path& file) {
         Database db(file.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
         db.Exec("PRAGMA user_version = " + std::to_string(LatestSchemaVersion() + 1));
       },
       nullptr, "was written by a newer version of this program"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path file = HistoryIn(dir);
    c.spoil(file);
    const std::string spoiled = px::test::ReadBytes(file);
    const std::string newer = "history-v" + std::to_string(LatestSchemaVersion() + 1) + ".sqlite";
    const fs::path setAside = dir.path() / (c.setAsideAs ? c.setAsideAs : newer.c_str());

    NoticeLog log;
    int64_t time = kStart;
    HistoryWriter writer(file, log.Options());
    ASSERT_EQ(log.notices.size(), 1U);
    EXPECT_EQ(log.notices[0].kind, Notice::Kind::SetAside);
    EXPECT_EQ(log.notices[0].text.rfind("The history " + file.string() + " " + c.says, 0), 0U)
        << log.notices[0].text;
    EXPECT_NE(log.notices[0].text.find("; it was set aside as " + setAside.string() +
                                       " and a new one begun."),
              std::string::npos)
        << log.notices[0].text;
    EXPECT_EQ(px::test::ReadBytes(setAside), spoiled);
    // The new file serves as the old one did, and says nothing more.
    EXPECT_FALSE(writer.InMemory());
    EXPECT_EQ(ForeignDiskStory(writer, time).size(), 1U);
    EXPECT_EQ(log.notices.size(), 1U);
    EXPECT_EQ(Value(file, "PRAGMA integrity_check"), "ok");
  }
}

TEST(HistoryStore, SetsAsideUnderANameThatReplacesNothing) {
  TempDir dir;
  const fs::path file = HistoryIn(dir);
  px::test::WriteBytes(dir.path() / "history-corrupt.sqlite", "an earlier one");
  px::test::WriteBytes(file, std::string(4096, 'x'));
  NoticeLog log;
  HistoryWriter writer(file, log.Options());
  EXPECT_EQ(px::test::ReadBytes(dir.path() / "history-corrupt.sqlite"), "an earlier one");
  EXPECT_EQ(px::test::ReadBytes(dir.path() / "history-corrupt-2.sqlite"), std::string(4096, 'x'));
}

// What cannot be kept in the file is kept in memory, said once, and the
// warnings still come.
TEST(HistoryStore, KeepsTheHistoryInMemoryWhereNoFileCanBeKept) {
  struct Case {
    const char* name;
    void (*prepare)(const fs::path& dir);
    std::string says;
  };
  const std::vector<Case> cases = {
      {"a folder others may write",
       [](const fs::path& dir) { ASSERT_EQ(::chmod(dir.c_str(), 0777), 0); },
       " may be written by other users"},
      {"a link in place of the file",
       [](const fs::path& dir) {
         px::test::WriteBytes(dir / "elsewhere", "not to be touched");
         fs::create_symlink(dir / "elsewhere", dir / kHistoryFileName);
       },
       "unable to open database file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    c.prepare(dir.path());
    NoticeLog log;
    int64_t time = kStart;
    HistoryWriter writer(HistoryIn(dir), log.Options());
    EXPECT_TRUE(writer.InMemory());
    ASSERT_EQ(log.notices.size(), 1U);
    EXPECT_EQ(log.notices[0].kind, Notice::Kind::NotKept);
    EXPECT_NE(log.notices[0].text.find(c.says), std::string::npos) << log.notices[0].text;
    EXPECT_NE(log.notices[0].text.find("this run keeps it in memory only."), std::string::npos);
    EXPECT_EQ(ForeignDiskStory(writer, time).size(), 1U);
    EXPECT_EQ(log.notices.size(), 1U);
    if (fs::exists(dir.path() / "elsewhere")) {
      EXPECT_EQ(px::test::ReadBytes(dir.path() / "elsewhere"), "not to be touched");
    }
  }
}

// A user's own group is the user (a umask of 002 makes every folder group
// writable); root's group is others.
TEST(HistoryStore, TakesAFolderItsGroupMayWriteOnlyWhenTheGroupIsAUsersOwn) {
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0775), 0);
  HistoryWriter writer(HistoryIn(dir));
  EXPECT_EQ(writer.InMemory(), ::geteuid() == 0);
}

TEST(HistoryStore, HasOneWriterAtATime) {
  TempDir dir;
  NoticeLog first;
  NoticeLog second;
  {
    HistoryWriter writer(HistoryIn(dir), first.Options());
    HistoryWriter other(HistoryIn(dir), second.Options());
    EXPECT_FALSE(writer.InMemory());
    EXPECT_TRUE(other.InMemory());
    ASSERT_EQ(second.notices.size(), 1U);
    EXPECT_EQ(second.notices[0].text,
              "The history cannot be kept in " + HistoryIn(dir).string() +
                  " (another program keeps it (the window or another pxraid monitor)): this run "
                  "keeps it in memory only.");
  }
  // Once the first has ended, the file is free.
  HistoryWriter next(HistoryIn(dir));
  EXPECT_FALSE(next.InMemory());
  EXPECT_TRUE(first.notices.empty());
}

TEST(HistoryStore, DropsEventsPastTheirAgeAndBeyondTheirNumber) {
  TempDir dir;
  WriterOptions options;
  options.keepEventsSeconds = 10 * 86400;
  options.maxEvents = 5;
  HistoryWriter writer(HistoryIn(dir), options);
  const auto event = [](int64_t time) {
    return Event{"E1", time, "MemberRemoved", Severity::Critical, Port::P1, "B", "D1 P1 removed"};
  };
  // The first poll prunes, and then once a day.
  std::vector<Event> events;
  for (int i = 0; i < 8; ++i) events.push_back(event(kStart + i));
  writer.RecordPoll({}, events);
  EXPECT_EQ(Count(HistoryIn(dir), "SELECT count(*) FROM events"), 5);
  EXPECT_EQ(Count(HistoryIn(dir), "SELECT min(time) FROM events"), kStart + 3);

  const int64_t later = kStart + 12 * 86400;
  writer.RecordPoll({}, std::vector<Event>{event(later - 86400)});
  EXPECT_EQ(Count(HistoryIn(dir), "SELECT count(*) FROM events"), 1) << "older than 10 days";
  writer.RecordPoll({}, std::vector<Event>{event(later - 20 * 86400)});
  EXPECT_EQ(Count(HistoryIn(dir), "SELECT count(*) FROM events"), 2) << "no prune within a day";
}

}  // namespace
}  // namespace px::history
