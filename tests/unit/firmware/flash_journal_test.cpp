#include "firmware/flash_journal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unit/eventlog/log_test_support.h"

namespace px {
namespace {

namespace fs = std::filesystem;

const FlashRun kUpgrade{FlashKind::Upgrade, 1, "WD-A_WD-B", "/x/fw.bin", "/x/flash_WD-A_WD-B.bin"};
const FlashRun kRestore{FlashKind::Restore, 2, "ZFL1_ZFL2", "/x/b.bin", {}};

std::string Started(const FlashRun& run, const std::string& at = "07.12.2026 10:00:00") {
  return FlashStartedLine(run) + ", " + at;
}
std::string Ended(const FlashRun& run, const std::string& at = "07.12.2026 10:01:00") {
  return FlashEndedLine(run, "SPI Verify OK") + ", " + at;
}

std::vector<std::string> Starts(const std::vector<CutShortFlash>& flashes) {
  std::vector<std::string> lines;
  for (const CutShortFlash& flash : flashes) lines.push_back(flash.line);
  return lines;
}

TEST(FlashJournal, LinesSayWhatRunsWhereAndReadBackWhateverThePaths) {
  EXPECT_EQ(Started(kUpgrade),
            "D1 Firmware upgrade started, enclosure WD-A_WD-B, file \"/x/fw.bin\", backup "
            "\"/x/flash_WD-A_WD-B.bin\", 07.12.2026 10:00:00");
  EXPECT_EQ(Ended(kRestore),
            "D2 Firmware restore ended, enclosure ZFL1_ZFL2: SPI Verify OK, 07.12.2026 10:01:00");
  EXPECT_EQ(FlashStartedLine({FlashKind::Upgrade, 3, "", "", ""}),
            "D3 Firmware upgrade started, enclosure -, built image, no backup");
  EXPECT_EQ(FlashStartedLine(kRestore),
            "D2 Firmware restore started, enclosure ZFL1_ZFL2, file \"/x/b.bin\"");

  const std::vector<FlashRun> runs{
      kUpgrade,
      kRestore,
      {FlashKind::Upgrade, 4, "S1", "/x/a \"b\", c: d.bin\"", "/y/e, f.bin"},
      {FlashKind::Upgrade, 1, "", "", ""},
  };
  for (const FlashRun& run : runs) {
    SCOPED_TRACE(FlashStartedLine(run));
    // A timestamp that reads like a field is still the timestamp.
    const std::vector<std::string> lines{Started(run, "backup \"/z\", 07.12.2026 10:00:00")};
    const std::vector<CutShortFlash> found = CutShortFlashes(lines);
    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(found[0].run.kind, run.kind);
    EXPECT_EQ(found[0].run.device, run.device);
    EXPECT_EQ(found[0].run.enclosure, run.enclosure);
    EXPECT_EQ(found[0].run.file, run.file);
    EXPECT_EQ(found[0].run.backup, run.backup);
    EXPECT_EQ(found[0].started, "backup \"/z\", 07.12.2026 10:00:00");
  }
}

// Each enclosure's last start counts, until a start or an end of the same
// enclosure follows it; lines that only look alike do not count.
TEST(FlashJournal, ARunIsCutShortWhenItsStartHasNoEndAfterIt) {
  const FlashRun otherDevice{FlashKind::Upgrade, 2, "WD-A_WD-B", "/x/fw.bin", {}};
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    std::vector<std::string> cutShort;
  };
  const std::vector<Case> cases{
      {"ended", {Started(kUpgrade), Ended(kUpgrade)}, {}},
      {"no end", {Started(kUpgrade)}, {Started(kUpgrade)}},
      {"another enclosure's end", {Started(kUpgrade), Ended(kRestore)}, {Started(kUpgrade)}},
      {"the same enclosure ended under another number",
       {Started(kUpgrade), Ended(otherDevice)},
       {}},
      {"started again and ended",
       {Started(kUpgrade), Started(kUpgrade, "07.12.2026 11:00:00"), Ended(kUpgrade)},
       {}},
      {"started again, cut short again",
       {Started(kUpgrade), Started(kUpgrade, "07.12.2026 11:00:00")},
       {Started(kUpgrade, "07.12.2026 11:00:00")}},
      {"two enclosures",
       {Started(kRestore), Started(kUpgrade)},
       {Started(kRestore), Started(kUpgrade)}},
      {"an end before the start", {Ended(kUpgrade), Started(kUpgrade)}, {Started(kUpgrade)}},
      {"look-alikes",
       {"D1 Firmware upgrade started",
        "D1 Firmware upgrade started, enclosure WD-A, file \"/x, no backup, 07.12.2026",
        "D1 Firmware upgrade started, enclosure WD-A, file \"/x\", 07.12.2026",
        "Dx Firmware upgrade started, enclosure WD-A, built image, no backup, 07.12.2026",
        "D1 Firmware upgrade with /x/fw.bin: SPI Verify OK",
        "D1 Firmware upgrade started, enclosure WD-A, built image, no backup, 07.12.2026"},
       {"D1 Firmware upgrade started, enclosure WD-A, built image, no backup, 07.12.2026"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Starts(CutShortFlashes(c.lines)), c.cutShort) << c.name;
  }
}

// The newest seven days that have a file, whatever their dates, each day's
// own file before the users' files of that day; other files are no log.
TEST(FlashJournal, TheLogsOfTheNewestSevenDaysAreLookedThrough) {
  test::TempDir dir;
  const FlashRun oldest{FlashKind::Upgrade, 1, "OLD", "/x/fw.bin", {}};
  const FlashRun evening{FlashKind::Upgrade, 1, "EVENING", "/x/fw.bin", {}};
  const FlashRun byUser{FlashKind::Restore, 1, "USER", "/x/b.bin", {}};
  // Eight days, a month apart: the first is the one too many.
  const std::vector<std::pair<std::string, std::vector<std::string>>> files{
      {"260501.log", {Started(oldest)}},
      {"260601.log", {"nothing"}},
      {"260701.log", {}},
      {"260801.log", {}},
      {"260901.log", {}},
      {"261001.log", {}},
      {"261206.log", {Started(evening), Started(byUser)}},
      {"261207.log", {Ended(byUser)}},
      {"261207-ann.log", {Started(byUser)}},
      {"261207.log.1A2B.tmp", {Started(kUpgrade)}},
      {"flash_EVENING_261206-200000.bin", {Started(kUpgrade)}},
  };
  for (const auto& [name, lines] : files) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    test::WriteBytes(dir.path() / name, text);
  }
  EXPECT_EQ(Starts(CutShortFlashesIn(dir.path())),
            (std::vector<std::string>{Started(evening), Started(byUser)}));
  EXPECT_TRUE(CutShortFlashesIn(dir.path() / "missing").empty());
}

TEST(FlashJournal, TheNoticeSaysHowToWriteAWholeFlashBack) {
  struct Case {
    FlashRun run;
    std::optional<EnclosureSlot> slotNow;
    std::string notice;
  };
  const std::string half =
      " was cut short: its flash may be half written. Before the enclosure "
      "is switched off, ";
  const std::vector<Case> cases{
      {kUpgrade, EnclosureSlot{0},
       "The firmware upgrade of device 1 (disks WD-A and WD-B) that started 07.12.2026 10:00:00" +
           half + "put its backup back: pxraid firmware restore /x/flash_WD-A_WD-B.bin"},
      {kUpgrade, EnclosureSlot{2},
       "The firmware upgrade of device 1 (disks WD-A and WD-B) that started 07.12.2026 10:00:00" +
           half + "put its backup back: pxraid firmware restore --device 3 /x/flash_WD-A_WD-B.bin"},
      {kRestore, std::nullopt,
       "The firmware restore of device 2 (disks ZFL1 and ZFL2) that started 07.12.2026 10:00:00" +
           half + "restore it again: pxraid firmware restore --device 2 /x/b.bin"},
      {{FlashKind::Upgrade, 1, "S1", "/my files/fw.bin", {}},
       std::nullopt,
       "The firmware upgrade of device 1 (disk S1) that started 07.12.2026 10:00:00 was cut short, "
       "with no backup made first: its flash may be half written. Before the enclosure is "
       "switched off, upgrade it again: pxraid firmware upgrade \"/my files/fw.bin\""},
      {{FlashKind::Upgrade, 1, "", "", ""},
       std::nullopt,
       "The firmware upgrade of device 1 that started 07.12.2026 10:00:00 was cut short, with no "
       "backup made first: its flash may be half written. Before the enclosure is switched off, "
       "upgrade it again: pxraid firmware upgrade FILE"},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> lines{Started(c.run)};
    const std::vector<CutShortFlash> found = CutShortFlashes(lines);
    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(CutShortNotice(found[0], c.slotNow), c.notice);
  }
}

}  // namespace
}  // namespace px
