#include "core/session.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/core.h"
#include "sim/fake_clock.h"
#include "sim/virtual_bus.h"
#include "support/recording_ui.h"
#include "unit/eventlog/log_test_support.h"

namespace px {
namespace {

class AllPolled final : public MonitorClient {
 public:
  bool DrivesChanging() override { return false; }
  bool Polled(EnclosureSlot) override { return true; }
  void Dropped(EnclosureSlot) override {}
  std::optional<SettingsFill> ChosenSettings() override { return SettingsFill{}; }
};

struct SessionRig {
  explicit SessionRig(Greeting greeting)
      : core(CoreServices{bus,
                          clock,
                          panels,
                          messages,
                          sleep,
                          format,
                          {},
                          {},
                          [] { return LogTime{2026, 12, 7, 10, 0, 0}; },
                          {},
                          {}}),
        session(core, greeting) {}

  // What the detection thread does with a request.
  void RunRequestedDetection() {
    ASSERT_TRUE(core.detection.handover.Begin());
    core.discovery.DetectDrives();
    core.detection.handover.Finish();
  }
  uint32_t Controllers() const {
    uint32_t writes = 0;
    for (unsigned drive = 0; drive < sim::kBusDrives; ++drive) {
      if (const auto enclosure = bus.EnclosureAt(drive)) {
        writes += static_cast<uint32_t>(enclosure->ControlWrites().size());
      }
    }
    return writes;
  }

  sim::FakeClock clock;
  sim::VirtualBus bus{&clock};
  test::RecordingPanels panels;
  test::RecordingMessages messages;
  NoSleepInhibitor sleep;
  test::FixedFormat format;
  Core core;
  MonitoringSession session;
  AllPolled client;
};

using Kind = WatchStep::Kind;

// The window's drive watch through a story of device changes: what each
// tick comes to, what a laid-out detection found, and what it left for the
// log and the controllers.
TEST(MonitoringSession, TheDriveWatchThroughADeviceChangeStory) {
  SessionRig rig(Greeting::OnFirstLayout);
  MonitorState& monitor = rig.core.monitor;
  const auto first = rig.bus.AttachEnclosure(0);
  struct Step {
    const char* what;
    std::function<void()> before;
    bool monitoring;
    std::vector<Kind> ticks;  // what each tick of the step came to
    uint32_t count = 0, previous = 0;
    bool redetected = false, removed = false;
  };
  const std::vector<Step> steps = {
      {"the first detection",
       [&] {
         rig.session.RequestFirstDetection();
         rig.RunRequestedDetection();
       },
       false,
       {Kind::Detected},
       1,
       0},
      {"nothing happens", [&] { monitor.FirstDisplay = false; }, false, {Kind::Idle, Kind::Idle}},
      {"a device change that changes nothing",
       [&] { rig.session.DevicesChanged(); },
       false,
       {Kind::CountingDown, Kind::CountingDown, Kind::CountingDown, Kind::CountingDown,
        Kind::Unchanged, Kind::Idle}},
      {"a second enclosure, while a poll is asked for",
       [&] {
         rig.bus.AttachEnclosure(1);
         rig.session.DevicesChanged();
         monitor.MonitorRequests = kPollStatus;
       },
       true,
       {Kind::CountingDown, Kind::CountingDown, Kind::CountingDown, Kind::CountingDown,
        Kind::Postponed, Kind::Postponed}},
      {"the poll has run",
       [&] { monitor.MonitorRequests = kMonitoringActive; },
       true,
       {Kind::Requested}},
      {"its detection", [&] { rig.RunRequestedDetection(); }, true, {Kind::Detected}, 2, 1, true},
      {"both go while monitoring",
       [&] {
         rig.bus.Detach(0);
         rig.bus.Detach(1);
         rig.session.DevicesChanged();
       },
       true,
       {Kind::CountingDown, Kind::CountingDown, Kind::CountingDown, Kind::CountingDown,
        Kind::Requested}},
      {"its detection",
       [&] { rig.RunRequestedDetection(); },
       true,
       {Kind::Detected},
       0,
       2,
       false,
       true},
      {"with nothing found, every seventh tick looks again",
       [] {},
       true,
       {Kind::Idle, Kind::Idle, Kind::Idle, Kind::Idle, Kind::Idle, Kind::Idle, Kind::Requested}},
      {"its detection finds the first back",
       [&] {
         rig.bus.AttachEnclosure(0, first);
         rig.RunRequestedDetection();
       },
       true,
       {Kind::Detected},
       1,
       0,
       true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.before();
    const std::size_t pendingBefore = rig.core.eventLog.PendingLines.size();
    std::vector<Kind> kinds;
    std::optional<Detected> detected;
    for (std::size_t i = 0; i < step.ticks.size(); ++i) {
      const WatchStep tick = rig.session.Tick(step.monitoring);
      kinds.push_back(tick.kind);
      if (tick.detected) detected = tick.detected;
    }
    EXPECT_EQ(kinds, step.ticks);
    if (!detected) continue;
    EXPECT_EQ(detected->found.enclosures, step.count);
    EXPECT_EQ(detected->previousCount, step.previous);
    EXPECT_EQ(detected->redetected, step.redetected);
    EXPECT_EQ(monitor.Redetected, step.redetected);
    EXPECT_EQ(detected->removalLogged, step.removed);
    EXPECT_EQ(rig.core.eventLog.PendingLines.size() - pendingBefore, step.removed ? 1U : 0U);
    EXPECT_FALSE(rig.core.detection.handover.Probing());
    monitor.Redetected = false;
  }
  ASSERT_EQ(rig.core.eventLog.PendingLines.size(), 1U);
  EXPECT_EQ(rig.core.eventLog.PendingLines[0], "D1 Device was removed at 2026/12/07 10:00:00");
}

// The two ways of greeting the controllers: the window's, when the first
// enclosures are laid out, to the device in front; pxraid monitor's, after
// the first poll that reached any, to each that answered, once.
TEST(MonitoringSession, GreetsTheControllersAsItsFrontEndDoes) {
  {
    SessionRig rig(Greeting::OnFirstLayout);
    rig.bus.AttachEnclosure(0);
    rig.bus.AttachEnclosure(1);
    rig.session.RequestFirstDetection();
    rig.RunRequestedDetection();
    ASSERT_EQ(rig.session.Tick(false).kind, Kind::Detected);
    EXPECT_NE(rig.core.monitor.MonitorRequests.load() & kSendHostEvent, 0);
    ASSERT_TRUE(rig.session.Serve(rig.client, EnclosureSlot{1}));
    ASSERT_EQ(rig.bus.EnclosureAt(1)->ControlWrites().size(), 1U);
    EXPECT_EQ(rig.bus.EnclosureAt(1)->ControlWrites()[0].hostEvent, kHostFoundEnclosure);
    EXPECT_EQ(rig.Controllers(), 1U);
  }
  {
    SessionRig rig(Greeting::OnFirstAnswer);
    rig.bus.AttachEnclosure(0);
    rig.bus.AttachEnclosure(1);
    ASSERT_EQ(rig.session.DetectNow({}).found.enclosures, 2U);
    EXPECT_EQ(rig.core.monitor.MonitorRequests.load(), 0);
    for (int poll = 0; poll < 3; ++poll) {
      const PollReport report = rig.session.Poll(rig.client);
      EXPECT_EQ(report.answered, 0x03);
      rig.session.AfterPoll(rig.client, report);
    }
    for (unsigned drive : {0U, 1U}) {
      ASSERT_EQ(rig.bus.EnclosureAt(drive)->ControlWrites().size(), 1U);
      EXPECT_EQ(rig.bus.EnclosureAt(drive)->ControlWrites()[0].hostEvent, kHostFoundEnclosure);
    }
  }
}

// A poll is raised only when nothing stands in its way; a request is served
// only when no detection is pending.
TEST(MonitoringSession, PollsWaitForDeviceChangesProbesAndDetections) {
  SessionRig rig(Greeting::OnFirstLayout);
  rig.bus.AttachEnclosure(0);
  ASSERT_EQ(rig.session.DetectNow({}).found.enclosures, 1U);
  EXPECT_TRUE(rig.session.PollMayStart());
  rig.session.DevicesChanged();
  EXPECT_FALSE(rig.session.PollMayStart());
  EXPECT_TRUE(rig.session.DrivesChanging());
  for (int tick = 0; tick < 5; ++tick) rig.session.Tick(false);
  EXPECT_TRUE(rig.session.PollMayStart());

  rig.core.monitor.MonitorRequests = kPollStatus;
  rig.core.detection.handover.Request();
  EXPECT_FALSE(rig.session.Serve(rig.client, EnclosureSlot{0}));
  EXPECT_EQ(rig.core.monitor.PollCount, 0U);
  rig.RunRequestedDetection();
  const std::optional<MonitorResult> served = rig.session.Serve(rig.client, EnclosureSlot{0});
  ASSERT_TRUE(served);
  EXPECT_EQ(served->served, kPollStatus);
  EXPECT_EQ(served->poll.answered, 0x01);
}

}  // namespace
}  // namespace px
