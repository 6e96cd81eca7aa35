#include "sim/demo_timeline.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "device/knock.h"
#include "raid/records.h"
#include "sim/demo_scenarios.h"
#include "sim/fake_clock.h"
#include "sim/virtual_bus.h"
#include "sim_helpers.h"

namespace px::sim {
namespace {

// A timeline whose steps write their name into `ran` when they run.
struct Recorder {
  FakeClock clock;
  std::vector<std::string> ran;
  DemoTimeline timeline;

  explicit Recorder(uint64_t loopMs = 0) : timeline(clock, loopMs) {}
  void Step(uint64_t at, const std::string& name) {
    timeline.Add(at, name, [this, name] { ran.push_back(name); });
  }
  std::vector<std::string> RunUntil(uint64_t ms) {
    clock.Advance(ms - clock.TickMs());
    ran.clear();
    timeline.Tick();
    return ran;
  }
};

TEST(DemoTimeline, StepsRunInTimeOrderWhenTheirTimeHasCome) {
  Recorder r;
  // Added out of order on purpose; equal times keep the order they were added in.
  r.Step(3000, "c");
  r.Step(1000, "a1");
  r.Step(2000, "b");
  r.Step(1000, "a2");
  r.clock.Advance(500);  // the demo starts some time after the clock's epoch
  r.timeline.Start();

  struct Tick {
    uint64_t atMs;  // since the clock's epoch
    std::vector<std::string> runs;
    std::string caption;
    std::optional<uint64_t> untilNext;
  };
  const std::vector<Tick> ticks{
      {500, {}, "", 1000},
      {1499, {}, "", 1},
      {1500, {"a1", "a2"}, "a2", 1000},
      {1600, {}, "a2", 900},
      // A late tick catches up on everything that came due meanwhile.
      {4000, {"b", "c"}, "c", std::nullopt},
      {9000, {}, "c", std::nullopt},
  };
  for (const Tick& t : ticks) {
    SCOPED_TRACE(t.atMs);
    EXPECT_EQ(r.RunUntil(t.atMs), t.runs);
    EXPECT_EQ(r.timeline.Caption(), t.caption);
    EXPECT_EQ(r.timeline.MsUntilNextStep(), t.untilNext);
  }
}

TEST(DemoTimeline, LoopStartsOverAndCatchesUpOnSkippedRounds) {
  Recorder r(100);
  r.Step(0, "start");
  r.Step(60, "middle");
  r.timeline.Start();

  EXPECT_EQ(r.RunUntil(0), (std::vector<std::string>{"start"}));
  EXPECT_EQ(r.timeline.MsUntilNextStep(), 60u);
  EXPECT_EQ(r.RunUntil(99), (std::vector<std::string>{"middle"}));
  EXPECT_EQ(r.timeline.MsUntilNextStep(), 1u);
  EXPECT_EQ(r.RunUntil(100), (std::vector<std::string>{"start"}));
  EXPECT_EQ(r.RunUntil(330), (std::vector<std::string>{"middle", "start", "middle", "start"}));
  EXPECT_EQ(r.timeline.MsUntilNextStep(), 30u);
}

TEST(DemoTimeline, NothingRunsBeforeStartAndStartBeginsAgain) {
  Recorder r;
  r.Step(0, "zero");
  r.clock.Advance(5000);
  EXPECT_EQ(r.timeline.Tick(), 0u);
  EXPECT_EQ(r.timeline.MsUntilNextStep(), std::nullopt);

  r.timeline.Start();
  EXPECT_EQ(r.RunUntil(5000), (std::vector<std::string>{"zero"}));
  r.timeline.Start();
  EXPECT_EQ(r.timeline.Caption(), "");
  EXPECT_EQ(r.RunUntil(5001), (std::vector<std::string>{"zero"}));
}

TEST(DemoTimeline, StepOutsideTheLoopIsRefused) {
  FakeClock clock;
  DemoTimeline timeline(clock, 1000);
  EXPECT_NO_THROW(timeline.Add(999, "last", {}));
  EXPECT_THROW(timeline.Add(1000, "too late", {}), std::invalid_argument);
}

// What the host reads of the mirror at a moment of the story: the decoded
// port classes and, while a port is busy, the rebuild percent.
struct MirrorView {
  uint8_t portFlags = 0;
  uint8_t progressFlags = 0;
  std::optional<uint8_t> percent;
};

MirrorView ReadMirror(VirtualController& mirror) {
  Record config{};
  const Sector identity = test::Knock(mirror, ControllerQuery(kQueryIdentity));
  std::copy_n(identity.begin() + reply::kIdentityVersion, 8,
              config.begin() + config::kFirmwareVersion);
  Record status{};
  DecodeStatusReply(test::Knock(mirror, ControllerQuery(kQueryStatus)), config, status);
  MirrorView view{status[status::kPortFlags], status[status::kProgressFlags], std::nullopt};
  const Sector progress = test::Knock(mirror, ControllerQuery(kQueryProgress));
  if (view.progressFlags != 0 && progress[reply::kProgressPresent] == 2) {
    view.percent = ProgressPercent(LoadBigEndian(progress.data() + reply::kProgressCurrent, 5),
                                   LoadBigEndian(progress.data() + reply::kProgressTotal, 6));
  }
  return view;
}

TEST(DemoStory, UserSeesRemovalInsertionRisingRebuildAndNormalPairThenHotPlug) {
  FakeClock clock;
  VirtualBus bus;
  FindDemoScenario("two-enclosures")->build(bus);
  int deviceChanges = 0;
  bus.SetDeviceChangeCallback([&deviceChanges] { ++deviceChanges; });
  DemoTimeline timeline(clock, kDemoStoryMs);
  AddDemoStory(timeline, bus);
  timeline.Start();

  constexpr uint8_t kBothReady = 0x22;
  constexpr uint8_t kP1Off = 0x42;
  constexpr uint8_t kP1Inserted = 0x12;
  struct Moment {
    uint64_t atMs;
    uint8_t portFlags;
    std::optional<uint8_t> percent;
    bool stripePresent;
    int deviceChanges;  // since the start
  };
  std::vector<Moment> moments{
      {1000, kBothReady, std::nullopt, true, 0},
      {kMemberRemovedMs - 1, kBothReady, std::nullopt, true, 0},
      {kMemberRemovedMs, kP1Off, std::nullopt, true, 0},
      {kMemberInsertedMs + 100, kP1Inserted, std::nullopt, true, 0},
  };
  for (uint8_t percent = 0; percent < 100; percent = static_cast<uint8_t>(percent + 10)) {
    moments.push_back(
        {kRebuildStartMs + percent / 10u * kRebuildStepMs + 10, kBothReady, percent, true, 0});
  }
  moments.push_back({kRebuildDoneMs, kBothReady, std::nullopt, true, 0});
  // Unplugging takes the volume and the drive away, plugging brings both back.
  moments.push_back({kStripeUnpluggedMs, kBothReady, std::nullopt, false, 2});
  moments.push_back({kStripePluggedMs, kBothReady, std::nullopt, true, 4});
  // The second round tells the same story.
  moments.push_back({kDemoStoryMs + 1, kBothReady, std::nullopt, true, 4});
  moments.push_back({kDemoStoryMs + kMemberRemovedMs, kP1Off, std::nullopt, true, 4});

  for (const Moment& m : moments) {
    SCOPED_TRACE(testing::Message() << m.atMs << " ms, " << timeline.Caption());
    clock.Advance(m.atMs - clock.TickMs());
    timeline.Tick();
    const auto mirror = bus.EnclosureAt(kMirrorDrive);
    ASSERT_NE(mirror, nullptr);
    const MirrorView view = ReadMirror(*mirror);
    EXPECT_EQ(view.portFlags, m.portFlags);
    EXPECT_EQ(view.percent, m.percent);
    // A rebuild always runs towards P1, so the arrow points down at HDD2.
    EXPECT_EQ(view.progressFlags, m.percent ? kProgressP1 : 0);
    EXPECT_EQ(bus.EnclosureAt(kStripeDrive) != nullptr, m.stripePresent);
    EXPECT_EQ(deviceChanges, m.deviceChanges);
  }
}

}  // namespace
}  // namespace px::sim
