#include "core/core.h"

#include <gtest/gtest.h>

#include <string>
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
  bool Polled(std::size_t) override { return true; }
  void Dropped(std::size_t) override {}
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
                          {},
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
  Core core;
  AllPolled client;
};

// The poll hands on what changed, one reading after another: a mirror
// found whole, a member that fails, the same again (nothing new), a member
// pulled and a new disk inserted.
TEST(Core, EachPollHandsOnWhatChangedOnTheEnclosures) {
  CoreRig rig;
  const auto enclosure = rig.bus.AttachEnclosure(0);
  ASSERT_EQ(rig.core.discovery.DetectNow(), 1u);
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

}  // namespace
}  // namespace px
