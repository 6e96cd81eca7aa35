#include "core/core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/flash_job.h"
#include "sim/fake_clock.h"
#include "sim/virtual_bus.h"
#include "support/recording_ui.h"
#include "unit/eventlog/log_test_support.h"

namespace px {
namespace {

// Every device in polling; nothing else asked.
class AllPolled final : public MonitorClient {
 public:
  bool DrivesChanging() override { return false; }
  bool Polled(EnclosureSlot) override { return true; }
  void Dropped(EnclosureSlot) override {}
  std::optional<SettingsFill> ChosenSettings() override { return SettingsFill{}; }
};

// A core over a virtual mirror on drive 0, assembled as a front end does.
struct CoreRig {
  explicit CoreRig(std::filesystem::path logDirectory = {})
      : core(CoreServices{bus,
                          clock,
                          panels,
                          messages,
                          sleep,
                          format,
                          {},
                          std::move(logDirectory),
                          [] { return LogTime{2026, 12, 7, 10, 0, 0}; },
                          [this](const std::vector<std::string>& added) {
                            lines.insert(lines.end(), added.begin(), added.end());
                          },
                          [this](const std::vector<EnclosureEvent>& events) {
                            for (const EnclosureEvent& e : events) {
                              names.push_back(
                                  std::string(EventName(e.kind)) +
                                  (e.member ? e.member->port == Port::P0 ? " P0" : " P1" : ""));
                            }
                          }}) {}

  sim::FakeClock clock;
  sim::VirtualBus bus{&clock};
  test::RecordingPanels panels;
  test::RecordingMessages messages;
  NoSleepInhibitor sleep;
  test::FixedFormat format;
  std::vector<std::string> names;
  std::vector<std::string> lines;
  Core core;
  AllPolled client;
};

// The poll hands on what changed, one reading after another: a mirror
// found whole, a member that fails, the same again (nothing new), a member
// pulled and a new disk inserted.
TEST(Core, EachPollHandsOnWhatChangedOnTheEnclosures) {
  CoreRig rig;
  const auto enclosure = rig.bus.AttachEnclosure(0);
  ASSERT_EQ(rig.core.discovery.DetectNow().enclosures, 1u);
  struct Step {
    uint8_t p1State;
    std::vector<std::string> events;
  } steps[] = {
      {0, {"EnclosureAdded", "MemberInitialized P0", "MemberInitialized P1"}},
      {9, {"MemberFailed P1"}},
      {9, {}},
      {0xFF, {"MemberRemoved P1"}},
      {6, {"MemberInserted P1"}},
  };
  for (const Step& step : steps) {
    enclosure->UpdateScenario([&](sim::ControllerScenario& s) { s.p1.state = step.p1State; });
    rig.names.clear();
    rig.core.raid.ReadStatus(rig.client);
    EXPECT_EQ(rig.names, step.events) << int{step.p1State};
  }
}

// An enclosure remembers a poll twice: the events compare with what the last
// poll saw, the log with what it last wrote. A re-detection re-takes the
// log's memory, so its restart block shows a member pulled meanwhile and no
// change line follows, then or later; the events still tell the change.
TEST(Core, ARedetectionRetakesTheLogsMemoryButNotTheEvents) {
  struct Case {
    const char* name;
    bool redetected;
    bool removalLogged;
  } cases[] = {
      {"a poll", false, true},
      {"a re-detection", true, false},
  };
  const auto removals = [](const std::vector<std::string>& lines) {
    return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
      return line.rfind("D1 P1 was removed", 0) == 0;
    });
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    CoreRig rig(dir.path());
    const auto enclosure = rig.bus.AttachEnclosure(0);
    ASSERT_EQ(rig.core.discovery.DetectNow().enclosures, 1u) << c.name;
    rig.core.raid.ReadStatus(rig.client);
    rig.core.monitor.FirstDisplay = false;

    enclosure->UpdateScenario([](sim::ControllerScenario& s) { s.p1.state = 0xFF; });
    rig.core.monitor.Redetected = c.redetected;
    rig.names.clear();
    rig.lines.clear();
    rig.core.raid.ReadStatus(rig.client);
    EXPECT_EQ(rig.names, std::vector<std::string>{"MemberRemoved P1"}) << c.name;
    EXPECT_EQ(removals(rig.lines), c.removalLogged ? 1 : 0) << c.name;

    rig.names.clear();
    rig.lines.clear();
    rig.core.raid.ReadStatus(rig.client);
    EXPECT_TRUE(rig.names.empty()) << c.name;
    EXPECT_EQ(removals(rig.lines), 0) << c.name;
  }
}

// Only a front end that keeps a log writes one.
TEST(Core, ALogIsKeptOnlyWhereItIsAskedFor) {
  test::TempDir dir;
  for (const bool keepsLog : {false, true}) {
    CoreRig rig(keepsLog ? dir.path() : std::filesystem::path());
    rig.bus.AttachEnclosure(0);
    rig.core.discovery.DetectNow();
    rig.core.raid.ReadStatus(rig.client);
    EXPECT_EQ(std::filesystem::exists(dir.path() / "261207.log"), keepsLog);
  }
}

// A run cut short is told once in a program's life, with the number its
// enclosure has now; not while a drive could not be probed, since another
// program may be flashing it right then.
TEST(CutShortWatch, TellsEachRunCutShortOnceAndNotWhileADriveIsHeldElsewhere) {
  test::TempDir dir;
  const FlashRun run{FlashKind::Upgrade, 3, "WD-WCC3F0000001_WD-WCC3F0000002", "/x/fw.bin",
                     "/x/flash.bin"};
  test::WriteBytes(dir.path() / "261207.log", FlashStartedLine(run) + ", 07.12.2026 10:00:00\r\n");
  CoreRig rig;
  rig.bus.AttachEnclosure(0);
  CutShortWatch watch;

  const ClaimToken other = rig.bus.TryClaimDrive(PhysicalDrive(0), ClaimPurpose::Firmware);
  rig.core.discovery.DetectNow();
  EXPECT_TRUE(watch.Look(rig.core, dir.path()).empty()) << "drive 0 was held elsewhere";
  rig.bus.ReleaseDrive(other);

  rig.core.discovery.DetectNow();
  const std::vector<std::string> told{
      "The firmware upgrade of device 3 (disks WD-WCC3F0000001 and WD-WCC3F0000002) that started "
      "07.12.2026 10:00:00 was cut short: its flash may be half written. Before the enclosure is "
      "switched off, put its backup back: pxraid firmware restore /x/flash.bin"};
  EXPECT_EQ(watch.Look(rig.core, dir.path()), told);
  EXPECT_TRUE(watch.Look(rig.core, dir.path()).empty()) << "told once";
  EXPECT_EQ(CutShortWatch().Look(rig.core, dir.path()), told) << "a new program tells again";
}

// A job's backup that finds no whole flash, and a restore that is refused,
// end in the words the message panel shows, and neither as a success.
TEST(FlashJob, ABackupOrRestoreThatFailsSaysSoInThePanelsWords) {
  using Run = std::function<std::pair<bool, std::string>(FlashJob&)>;
  const Run backUp = [](FlashJob& job) {
    FlashBackupResult made = job.BackUp();
    return std::pair{made.outcome == FlashBackupResult::Outcome::Saved, made.reason};
  };
  struct Case {
    const char* name;
    std::function<void(sim::VirtualController&)> arrange;
    Run run;
    std::string said;
  };
  const std::vector<Case> cases{
      {"reads that never agree",
       [](sim::VirtualController& enclosure) {
         enclosure.UpdateFaults([](sim::ControllerFaults& f) {
           f.flippedBit = sim::FlippedBit{0x1005, 0x10, 0, true};
         });
       },
       backUp, "Backup fail, no two reads agree, Address = 1000"},
      {"a page that never reads",
       [](sim::VirtualController& enclosure) {
         enclosure.AddCommandFault(sim::CommandFault::SpiReadAt(0x80, kSpiAttempts, 0x42));
       },
       backUp, "ReadSPI fail, Address = 0080"},
      {"a restore of a backup too short", [](sim::VirtualController&) {},
       [](FlashJob& job) {
         NoUpgradeProgress progress;
         const UpgradeOutcome restored =
             job.Flash(FlashKind::Restore, std::vector<uint8_t>(100, 0x5A), "b.bin", {}, progress);
         return std::pair{restored.verified, restored.message};
       },
       "SPI test Fail. The firmware image has 100 bytes, 61440 needed."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CoreRig rig;
    const auto enclosure = rig.bus.AttachEnclosure(0);
    enclosure->SetFlash(0, std::vector<uint8_t>(kFlashSize, 0x5A));
    ASSERT_EQ(rig.core.discovery.DetectNow().enclosures, 1u);
    c.arrange(*enclosure);
    FlashJob job(rig.core, EnclosureSlot{0});
    ASSERT_FALSE(job.refusal());
    const auto [succeeded, said] = c.run(job);
    EXPECT_FALSE(succeeded);
    EXPECT_EQ(said, c.said);
    EXPECT_EQ(rig.panels.Last(StatusPanels::kMessagePanel), c.said);
  }
}

}  // namespace
}  // namespace px
