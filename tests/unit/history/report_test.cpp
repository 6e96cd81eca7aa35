// What `pxraid history` prints of a recorded story: an enclosure's events and
// rebuilds, a disk's life, since a date, as text and as JSON.

#include "history/report.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "history/database.h"
#include "history/schema.h"
#include "unit/history/history_test_support.h"

namespace px::history {
namespace {

using namespace test;

Event ProgramEvent(int64_t time, std::string name, Severity severity, std::optional<Port> port,
                   std::string serial, std::string message) {
  return {"E1", time, std::move(name), severity, port, std::move(serial), std::move(message)};
}

// A mirror whose P1 is replaced by a disk never seen and rebuilt in an hour.
void RecordStory(const std::filesystem::path& file) {
  WriterOptions options;
  options.lastSeenEverySeconds = 0;
  HistoryWriter writer(file, options);
  int64_t t = kStart;
  const auto poll = [&](Observation now, std::vector<Event> events) {
    now.time = t;
    writer.RecordPoll({&now, 1}, events);
    t += kPollSeconds;
  };
  const MemberObservation a = Disk("WD-A");
  poll(Mirror("E1", a, Disk("WD-B")),
       {ProgramEvent(t, "EnclosureAdded", Severity::Info, {}, "", "D1 enclosure found")});
  poll(Mirror("E1", a, Gone()), {ProgramEvent(t, "MemberRemoved", Severity::Critical, Port::P1,
                                              "WD-B", "D1 P1 removed: WDC, serial WD-B")});
  poll(Mirror("E1", a, Inserted(Disk("WD-C"))),
       {ProgramEvent(t, "MemberInserted", Severity::Warning, Port::P1, "WD-C",
                     "D1 P1 inserted, not part of the volume: WDC, serial WD-C")});
  const int64_t begun = t;
  Observation rebuilding = Mirror("E1", a, Disk("WD-C"));
  poll(
      [&] {
        rebuilding.rebuild = RebuildObservation{RebuildDirection::TowardsP1, 0};
        return rebuilding;
      }(),
      {ProgramEvent(t, "RebuildStarted", Severity::Info, {}, "",
                    "D1 rebuild P0 --> P1 started at 0%")});
  while (t < begun + 3600) {
    rebuilding.rebuild->percent = static_cast<uint8_t>((t - begun) * 100 / 3600);
    poll(rebuilding, {});
  }
  poll(Mirror("E1", a, Disk("WD-C")),
       {ProgramEvent(t, "RebuildFinished", Severity::Warning, {}, "",
                     "D1 rebuild P0 --> P1 finished, both members ready")});
}

HistoryReport ReportOf(const std::filesystem::path& file, const HistoryQuery& query) {
  std::string why;
  const auto reader = HistoryReader::Open(file, why);
  EXPECT_TRUE(reader) << why;
  if (!reader) return {};
  const auto report = reader->Report(query, why);
  EXPECT_TRUE(report) << why;
  return report.value_or(HistoryReport{});
}

// The story is recorded once and read by every test.
class HistoryReportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    RecordStory(HistoryIn(*dir_));
  }
  static void TearDownTestSuite() { delete dir_; }
  static HistoryReport Report(HistoryQuery query = {}) { return ReportOf(HistoryIn(*dir_), query); }
  static TempDir* dir_;
};

TempDir* HistoryReportTest::dir_ = nullptr;

TEST_F(HistoryReportTest, TellsEachEnclosuresEventsAndRebuilds) {
  EXPECT_EQ(ReportText(Report()),
            "Enclosure E1: PX RAID1 Dual Bay, firmware 140318.5\n"
            "  Seen:      2026-12-07T10:00:00Z to 2026-12-07T11:00:12Z\n"
            "  Events:\n"
            "    2026-12-07T10:00:00Z  info      EnclosureAdded     D1 enclosure found\n"
            "    2026-12-07T10:00:04Z  critical  MemberRemoved      D1 P1 removed: WDC, serial "
            "WD-B\n"
            "    2026-12-07T10:00:08Z  warning   MemberInserted     D1 P1 inserted, not part of "
            "the volume: WDC, serial WD-C\n"
            "    2026-12-07T10:00:08Z  warning   ForeignMember      P1: WDC WD10EZEX-00BN5A0, "
            "serial WD-C has not been seen before. The degraded mirror will be rebuilt onto it, "
            "and everything on it overwritten: if it holds data you need, take it out before the "
            "rebuild starts.\n"
            "    2026-12-07T10:00:12Z  info      RebuildStarted     D1 rebuild P0 --> P1 started "
            "at 0%\n"
            "    2026-12-07T11:00:12Z  warning   RebuildFinished    D1 rebuild P0 --> P1 "
            "finished, both members ready\n"
            "  Rebuilds:\n"
            "    2026-12-07T10:00:12Z  P0 --> P1  completed in 1 h  (serial WD-A --> serial WD-C, "
            "1953525168 sectors)\n");
}

TEST_F(HistoryReportTest, TellsADisksLife) {
  EXPECT_EQ(ReportText(Report({"WD-C", 0})),
            "Disk WD-C: WDC WD10EZEX-00BN5A0, 1953525168 sectors\n"
            "  Seen:      2026-12-07T10:00:08Z to 2026-12-07T11:00:12Z\n"
            "  Failed:    never\n"
            "  Bays:\n"
            "    P1 of E1 (PX RAID1 Dual Bay), 2026-12-07T10:00:08Z to 2026-12-07T11:00:12Z\n"
            "  Events:\n"
            "    2026-12-07T10:00:08Z  E1  warning   MemberInserted     D1 P1 inserted, not part "
            "of the volume: WDC, serial WD-C\n"
            "    2026-12-07T10:00:08Z  E1  warning   ForeignMember      P1: WDC WD10EZEX-00BN5A0, "
            "serial WD-C has not been seen before. The degraded mirror will be rebuilt onto it, "
            "and everything on it overwritten: if it holds data you need, take it out before the "
            "rebuild starts.\n"
            "  Rebuilds:\n"
            "    2026-12-07T10:00:12Z  E1  P0 --> P1  completed in 1 h  (serial WD-A --> serial "
            "WD-C, 1953525168 sectors)\n");
  // The pulled disk was last seen at the reading before it was gone.
  EXPECT_EQ(ReportText(Report({"WD-B", 0})),
            "Disk WD-B: WDC WD10EZEX-00BN5A0, 1953525168 sectors\n"
            "  Seen:      2026-12-07T10:00:00Z to 2026-12-07T10:00:00Z\n"
            "  Failed:    never\n"
            "  Bays:\n"
            "    P1 of E1 (PX RAID1 Dual Bay), 2026-12-07T10:00:00Z to 2026-12-07T10:00:00Z\n"
            "  Events:\n"
            "    2026-12-07T10:00:04Z  E1  critical  MemberRemoved      D1 P1 removed: WDC, "
            "serial WD-B\n"
            "  Rebuilds:  none\n");
  EXPECT_EQ(ReportText(Report({"WD-Z", 0})), "No disk with serial WD-Z in the history.\n");
}

TEST_F(HistoryReportTest, TellsWhatHappenedSinceADate) {
  const HistoryReport report = Report({std::nullopt, kStart + 3600});
  ASSERT_EQ(report.enclosures.size(), 1U);
  ASSERT_EQ(report.enclosures[0].events.size(), 1U);
  EXPECT_EQ(report.enclosures[0].events[0].name, "RebuildFinished");
  // A rebuild that ended since is part of it.
  EXPECT_EQ(report.enclosures[0].rebuilds.size(), 1U);
  const HistoryReport later = Report({std::nullopt, kStart + 7200});
  EXPECT_TRUE(later.enclosures[0].events.empty());
  EXPECT_TRUE(later.enclosures[0].rebuilds.empty());
  EXPECT_NE(ReportText(later).find("  Events:    none\n  Rebuilds:  none\n"), std::string::npos);
}

TEST_F(HistoryReportTest, GivesTheSameAsJson) {
  const nlohmann::ordered_json all = ReportJson(Report());
  EXPECT_TRUE(all["since"].is_null());
  ASSERT_EQ(all["enclosures"].size(), 1U);
  const auto& enclosure = all["enclosures"][0];
  EXPECT_EQ(enclosure["id"], "E1");
  EXPECT_EQ(enclosure["mode_code"], kModeMirror);
  EXPECT_EQ(enclosure["first_seen"], "2026-12-07T10:00:00Z");
  EXPECT_EQ(enclosure["events"].size(), 6U);
  EXPECT_EQ(enclosure["events"][3]["name"], "ForeignMember");
  EXPECT_EQ(enclosure["events"][3]["severity"], "warning");
  EXPECT_EQ(enclosure["events"][3]["port"], "P1");
  EXPECT_EQ(enclosure["events"][3]["serial"], "WD-C");
  EXPECT_TRUE(enclosure["events"][0]["port"].is_null());
  const auto& rebuild = enclosure["rebuilds"][0];
  EXPECT_EQ(rebuild["duration_seconds"], 3600);
  EXPECT_EQ(rebuild["outcome"], "completed");
  EXPECT_EQ(rebuild["direction"], "P0 --> P1");
  EXPECT_EQ(rebuild["target_serial"], "WD-C");

  const nlohmann::ordered_json disk = ReportJson(Report({"WD-C", kStart}));
  EXPECT_EQ(disk["since"], "2026-12-07T10:00:00Z");
  EXPECT_EQ(disk["member"]["failures"], 0);
  EXPECT_TRUE(disk["member"]["last_failed"].is_null());
  EXPECT_EQ(disk["member"]["bays"][0]["port"], "P1");
  EXPECT_TRUE(ReportJson(Report({"WD-Z", 0}))["member"].is_null());
}

TEST(HistoryReport, GivesDeviceBytesAsPrintableText) {
  TempDir dir;
  {
    HistoryWriter writer(HistoryIn(dir));
    Observation now = Mirror("E1", Disk("A"), Disk("B"));
    now.name = "Box\x1b[31m\xff";
    now.members[0].model = "\xc0\xafModel";
    now.time = kStart;
    writer.RecordPoll({&now, 1}, {});
  }
  const std::string text = ReportText(ReportOf(HistoryIn(dir), {}));
  EXPECT_NE(text.find("Enclosure E1: Box [31m\xEF\xBF\xBD, firmware"), std::string::npos) << text;
  const std::string disk = ReportText(ReportOf(HistoryIn(dir), {"A", 0}));
  EXPECT_NE(disk.find("Disk A: \xEF\xBF\xBD\xEF\xBF\xBDModel"), std::string::npos) << disk;
  // Strict UTF-8 checking, as a script's parser does it.
  EXPECT_NO_THROW(ReportJson(ReportOf(HistoryIn(dir), {})).dump());
  EXPECT_NO_THROW(ReportJson(ReportOf(HistoryIn(dir), {"A", 0})).dump());
}

// A user reads the service's history, in a folder only root may write, while
// the service is not running: no log beside the file, and none to be made.
TEST(HistoryReport, IsReadFromAFolderTheReaderMayNotWrite) {
  TempDir dir;
  {
    HistoryWriter writer(HistoryIn(dir));
    Observation now = Mirror("E1", Disk("A"), Disk("B"));
    now.time = kStart;
    writer.RecordPoll({&now, 1}, {});
  }
  ASSERT_FALSE(std::filesystem::exists(HistoryIn(dir).string() + "-shm"));
  const bool root = ::geteuid() == 0;
  // Root may write anywhere: the reader is then another user.
  if (!root) {
    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (root && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    std::string why;
    const auto reader = HistoryReader::Open(HistoryIn(dir), why);
    const auto report = reader ? reader->Report({}, why) : std::nullopt;
    ::_exit(report && report->enclosures.size() == 1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::chmod(dir.path().c_str(), 0755);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: could not become another user; 1: not read";
}

TEST(HistoryReport, SaysWhyThereIsNoneToRead) {
  TempDir dir;
  std::string why;
  EXPECT_FALSE(HistoryReader::Open(HistoryIn(dir), why));
  EXPECT_EQ(why, "there is no history in " + HistoryIn(dir).string() + " yet");
  {
    Database db(HistoryIn(dir).string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    db.Exec("PRAGMA user_version = " + std::to_string(LatestSchemaVersion() + 1));
  }
  EXPECT_FALSE(HistoryReader::Open(HistoryIn(dir), why));
  EXPECT_EQ(why, "the history " + HistoryIn(dir).string() +
                     " was written by a newer version of this program");
  px::test::WriteBytes(HistoryIn(dir), std::string(4096, 'x'));
  EXPECT_FALSE(HistoryReader::Open(HistoryIn(dir), why));
  EXPECT_EQ(why,
            "the history " + HistoryIn(dir).string() + " cannot be read: file is not a database");
}

}  // namespace
}  // namespace px::history
