#include "core/core.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace px
