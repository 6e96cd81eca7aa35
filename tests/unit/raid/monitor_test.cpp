#include "raid/monitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "raid_rig.h"
#include "sim/replies.h"

namespace px {
namespace {

using test::RaidRig;
using test::Text;

constexpr int kMessagePanel = StatusPanels::kMessagePanel;

// A rig whose detection found enclosures on the given drives, with the
// first display over and the panels cleared.
struct PollRig : RaidRig {
  explicit PollRig(std::vector<std::pair<unsigned, sim::ControllerScenario>> attached) {
    for (auto& [drive, scenario] : attached)
      controllers.push_back(bus.AttachEnclosure(drive, scenario));
    Detect();
    FirstDisplayDone();
    panels.recorded.Clear();
    ForgetCommands();
  }
  explicit PollRig(unsigned drives = 1) : PollRig(Defaults(drives)) {}

  static std::vector<std::pair<unsigned, sim::ControllerScenario>> Defaults(unsigned drives) {
    std::vector<std::pair<unsigned, sim::ControllerScenario>> out;
    for (unsigned d = 0; d < drives; ++d) out.emplace_back(d, sim::ControllerScenario{});
    return out;
  }
  // Queries enclosure `index` has received since the last ForgetCommands.
  std::vector<uint8_t> QueriesOf(std::size_t index) const {
    std::vector<uint8_t> out;
    for (const auto& c : controllers[index]->Commands()) out.push_back(c.command[0]);
    return out;
  }
  void ForgetCommands() {
    for (auto& c : controllers) c->ClearCommands();
  }

  std::vector<std::shared_ptr<sim::VirtualController>> controllers;
};

TEST(ReadStatus, PollMarksInTheStatusBar) {
  PollRig rig(2);
  rig.client.checked[1] = false;
  rig.Poll();
  rig.Poll();
  EXPECT_EQ(
      rig.panels.recorded.TextsOf(0),
      (std::vector<std::string>{"3x,01", "014x,01", "01,6x,01", "3x,02", "014x,02", "01,6x,02"}));
  EXPECT_EQ(rig.panels.recorded.TextsOf(2),
            (std::vector<std::string>{"SC = 1x0201", "SC = 1x0202"}));
  EXPECT_EQ(rig.panels.recorded.TextsOf(3), (std::vector<std::string>{"G = 2x, 01", "G = 2x, 02"}));

  rig.client.checked[0] = false;
  rig.Poll();
  EXPECT_EQ(rig.panels.recorded.Last(0), "005x,03");
}

TEST(ReadStatus, SkippedWhileDrivesChangeOrFirmwareWorks) {
  struct Case {
    const char* name;
    std::function<void(PollRig&)> set;
  } cases[] = {
      {"device change countdown", [](PollRig& r) { r.client.drivesChanging = true; }},
      {"probe mode", [](PollRig& r) { r.detection.handover.SetProbing(true); }},
      {"firmware busy", [](PollRig& r) { BeginFirmwareOperation(r.flags); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PollRig rig;
    rig.ForgetCommands();
    c.set(rig);
    rig.Poll();
    EXPECT_EQ(rig.monitor.PollCount, 1U);
    EXPECT_EQ(rig.panels.recorded.entries(),
              (std::vector<test::RecordingPanels::Entry>{{0, "3x,01"}, {3, "G = 2x, 01"}}));
    EXPECT_TRUE(rig.QueriesOf(0).empty());
    EXPECT_TRUE(rig.loggedMasks.empty());
    EXPECT_FALSE(rig.monitor.PollInProgress.load());
  }
}

TEST(ReadStatus, AnsweredMaskGoesToTheLogAndTheDisplay) {
  struct Case {
    const char* name;
    std::array<bool, 4> checked;
    uint32_t upgradeSlot;
    bool firstDisplay, redetected;
    uint8_t mask;
    bool fullRefresh;
  } cases[] = {
      {"all three", {true, true, true, true}, kNoSlot, false, false, 0x07, false},
      {"second unchecked", {true, false, true, true}, kNoSlot, false, false, 0x05, false},
      {"third under firmware work", {true, true, true, true}, 2, false, false, 0x03, false},
      {"first display", {true, true, true, true}, kNoSlot, true, false, 0x07, true},
      {"redetected", {true, true, true, true}, kNoSlot, false, true, 0x07, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PollRig rig(3);
    rig.client.checked = c.checked;
    rig.devices.UpgradeSlot = c.upgradeSlot;
    rig.monitor.FirstDisplay = c.firstDisplay;
    rig.monitor.Redetected = c.redetected;
    rig.Poll();
    EXPECT_EQ(rig.loggedMasks, std::vector<uint8_t>{c.mask});
    EXPECT_EQ(rig.Displays(), std::vector<bool>{c.fullRefresh});
    EXPECT_FALSE(rig.monitor.Redetected);
    EXPECT_EQ(rig.QueriesOf(1).empty(), !c.checked[1]);
    EXPECT_EQ(rig.QueriesOf(2).empty(), c.upgradeSlot == 2);
  }
}

// Poll n of a device that stopped answering: was it asked, and is it still
// checked afterwards?
TEST(ReadStatus, AFailingDeviceIsAskedEverySecondPollAndDroppedAtItsSixthFailure) {
  PollRig rig;
  rig.controllers[0]->UpdateFaults([](sim::ControllerFaults& f) { f.noReply = true; });
  for (int poll = 1; poll <= 11; ++poll) {
    SCOPED_TRACE(poll);
    rig.ForgetCommands();
    const PollReport report = rig.Poll();
    const bool asked = poll % 2 == 1;
    EXPECT_EQ(rig.QueriesOf(0).empty(), !asked);
    EXPECT_EQ(rig.client.checked[0], poll < 11);
    // Monitoring winds down only once the device is out of its retry cycle.
    EXPECT_EQ(report.windDown, poll == 11);
    EXPECT_EQ(rig.loggedMasks.back(), 0);
  }
  EXPECT_EQ(rig.client.unchecked, std::vector<std::size_t>{0});
  EXPECT_EQ(rig.enclosures[EnclosureSlot{0}].retryCount, 0);
}

TEST(ReadStatus, AnAnswerEndsTheRetryCycle) {
  PollRig rig;
  rig.controllers[0]->UpdateFaults([](sim::ControllerFaults& f) { f.noReply = true; });
  rig.Poll();
  rig.Poll();
  rig.controllers[0]->ClearFaults();
  rig.Poll();
  EXPECT_EQ(rig.loggedMasks, (std::vector<uint8_t>{0, 0, 1}));
  EXPECT_EQ(rig.enclosures[EnclosureSlot{0}].retryCount, 0);
}

TEST(ReadStatus, RebuildProgress) {
  struct Case {
    uint64_t current, total;
    uint8_t percent;
  } cases[] = {{7, 10, 70},
               {7, 0, 0},
               {999, 1000, 99},
               {1953525167, 1953525168, 99},
               // 4 TB members: the position is past 2 TiB, beyond 32 bits.
               {5860527876, 7814037168, 75},
               // Past the total there is no percentage: the rebuild still runs
               // at the 20 % discovery read (1 of 5), not at 355 % as 99.
               {355, 100, 20}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.current) + " of " + std::to_string(c.total));
    sim::ControllerScenario rebuilding;
    rebuilding.p1.state = 1;
    rebuilding.progress = {true, 5, 1};
    PollRig rig({{0, rebuilding}});
    ASSERT_TRUE(rig.enclosures[EnclosureSlot{0}].progressPending);
    rig.controllers[0]->UpdateScenario([&](sim::ControllerScenario& s) {
      s.progress = {true, c.total, c.current};
    });
    rig.Poll();
    EXPECT_EQ(rig.StatusOf(0)[status::kProgress], c.percent);
    EXPECT_EQ(rig.loggedMasks, std::vector<uint8_t>{1});
  }
}

// The rebuild ends: the progress report goes, the status shows both ready,
// and the poll stops asking for progress.
TEST(ReadStatus, ProgressIsNoLongerAskedOnceTheRebuildEnds) {
  sim::ControllerScenario rebuilding;
  rebuilding.p1.state = 1;
  rebuilding.progress = {true, 10, 5};
  PollRig rig({{0, rebuilding}});
  rig.controllers[0]->UpdateScenario([](sim::ControllerScenario& s) {
    s.p1.state = 0;
    s.progress.present = false;
  });
  rig.ForgetCommands();
  rig.Poll();
  EXPECT_EQ(rig.QueriesOf(0), (std::vector<uint8_t>{kQueryIdentity, kQueryProgress, kQueryStatus}));
  EXPECT_FALSE(rig.enclosures[EnclosureSlot{0}].progressPending);
  EXPECT_EQ(rig.StatusOf(0)[status::kProgressFlags], 0);
  // Nothing of it is left to stand for the next rebuild's percentage.
  EXPECT_EQ(rig.StatusOf(0)[status::kProgress], 0);
  rig.ForgetCommands();
  rig.Poll();
  EXPECT_EQ(rig.QueriesOf(0), (std::vector<uint8_t>{kQueryIdentity, kQueryStatus}));
}

// The controller is left 200 ms before every query of a poll.
TEST(ReadStatus, PausesBeforeEachQuery) {
  sim::ControllerScenario rebuilding;
  rebuilding.p1.state = 1;
  rebuilding.progress = {true, 10, 5};
  PollRig rig({{0, rebuilding}});
  // The rebuild has ended: revision, progress and status are asked.
  rig.controllers[0]->UpdateScenario([](sim::ControllerScenario& s) {
    s.p1.state = 0;
    s.progress.present = false;
  });
  rig.bus.ClearTrace();
  const uint64_t start = rig.clock.TickMs();
  rig.Poll();
  const std::vector<uint64_t> pauses = test::PausesBeforeQueries(rig.bus.Trace(), start);
  EXPECT_EQ(pauses.size(), 3U);
  EXPECT_THAT(pauses, ::testing::Each(::testing::Ge(200U)));
}

// A controller that claims a rebuild but never reports its progress must not
// hold the window's thread: the poll gives up after a few rounds, counts the
// device as answered, and the next poll starts over.
TEST(ReadStatus, TheProgressLoopIsBounded) {
  sim::ControllerScenario confused;
  confused.p0.state = 1;
  confused.progress.present = false;
  PollRig rig({{0, confused}});
  for (int poll = 0; poll < 2; ++poll) {
    rig.ForgetCommands();
    rig.Poll();
    std::vector<uint8_t> expected{kQueryIdentity};
    for (int round = 0; round < kProgressRounds; ++round) {
      expected.push_back(kQueryProgress);
      expected.push_back(kQueryStatus);
    }
    EXPECT_EQ(rig.QueriesOf(0), expected);
  }
  EXPECT_EQ(rig.loggedMasks, (std::vector<uint8_t>{1, 1}));
}

TEST(ReadStatus, RevisionBytesAreRefreshedWhenTheControllerSuppliesThem) {
  for (bool supplied : {true, false}) {
    SCOPED_TRACE(supplied ? "supplied" : "not supplied");
    sim::ControllerScenario scenario;
    scenario.revisionSupplied = supplied;
    PollRig rig({{0, scenario}});
    const std::string before = Text(rig.StatusOf(0), status::kRevision, 3);
    rig.controllers[0]->UpdateScenario([](sim::ControllerScenario& s) {
      s.revision = {0x0A, 0x0B, 0x0C};
    });
    rig.ForgetCommands();
    rig.Poll();
    EXPECT_EQ(Text(rig.StatusOf(0), status::kRevision, 3), supplied ? "\x0C\x0B\x0A" : before);
    EXPECT_EQ(rig.QueriesOf(0).front(), supplied ? kQueryIdentity : kQueryStatus);
  }
}

// A poll in which nobody answers and nobody is in a retry cycle: monitoring
// winds down, and ends unless a first display or a redetection still waits.
TEST(ReadStatus, NobodyAnswering) {
  struct Case {
    const char* name;
    bool firstDisplay, redetected;
    bool monitoringEnds;
  } cases[] = {
      {"monitoring", false, false, true},
      {"first display pending", true, false, false},
      {"redetected", false, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PollRig rig(2);
    rig.client.checked = {false, false, false, false};
    rig.monitor.FirstDisplay = c.firstDisplay;
    rig.monitor.Redetected = c.redetected;
    const PollReport report = rig.Poll();
    EXPECT_EQ(rig.loggedMasks, std::vector<uint8_t>{0});
    EXPECT_TRUE(rig.Displays().empty());
    EXPECT_TRUE(report.windDown);
    EXPECT_EQ(report.monitoringEnds, c.monitoringEnds);
    EXPECT_EQ(rig.monitor.Redetected, c.redetected) << "kept for the next display";
  }
}

// A mirror whose P1 failed. A status query answered without its reply is no
// answer: the record keeps what was last read (not a decode of whatever the
// buffer held) and a retry is counted. An enclosure another program holds is
// skipped without a retry, and the message panel says why.
TEST(ReadStatus, OnlyRepliesTheControllerSentAreDecodedAndABusyEnclosureIsSkipped) {
  struct Case {
    const char* name;
    bool status00;  // the status query is answered with status 0x00
    bool heldElsewhere;
    uint8_t retries;
    std::string message;
  } cases[] = {
      {"status 0x00", true, false, 1, ""},
      {"held by another program", false, true, 0,
       "Drive 0 is busy: another program is upgrading its firmware."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::ControllerScenario mirror;
    mirror.p1.state = 9;
    PollRig rig({{0, mirror}});
    const Record before = rig.StatusOf(0);
    ASSERT_EQ(before[status::kPortFlags], kPortReady | kPortFailed << 4);
    if (c.status00) rig.controllers[0]->AddCommandFault({kQueryStatus, std::nullopt, 1, 0x00});
    if (c.heldElsewhere) rig.bus.TryClaimDrive(PhysicalDrive(0), ClaimPurpose::Firmware);
    rig.Poll();
    EXPECT_EQ(rig.loggedMasks, std::vector<uint8_t>{0});
    EXPECT_EQ(rig.StatusOf(0), before);
    EXPECT_EQ(rig.enclosures[EnclosureSlot{0}].retryCount, c.retries);
    EXPECT_EQ(rig.reports.back().busy, c.heldElsewhere ? 1 : 0);
    EXPECT_EQ(rig.panels.recorded.Last(kMessagePanel), c.message);
    EXPECT_EQ(rig.QueriesOf(0).empty(), c.heldElsewhere);
  }
}

TEST(ReadStatus, ClosingDuringThePollSkipsLogAndDisplay) {
  PollRig rig;
  rig.panels.hook = [&rig](int, std::string_view text) {
    if (text.starts_with("SC")) rig.flags.closing = true;
  };
  rig.Poll();
  EXPECT_TRUE(rig.loggedMasks.empty());
  EXPECT_TRUE(rig.Displays().empty());
  EXPECT_FALSE(rig.monitor.PollInProgress.load());
}

// The control sector as the enclosure received it, write after write: each
// request rewrites its own bytes and the rest carries over.
TEST(ControlSector, BytesAndSumOfSettingsAndHostEvents) {
  PollRig rig(2);
  rig.monitor.ControlSector[300] = 0x5A;  // left by an earlier write

  rig.client.schedule = FillSettings({true, PeriodUnit::Hours, "8"});
  ASSERT_EQ(rig.raid.WriteSettingsSector(rig.client, EnclosureSlot{1}), ControlWrite::Written);
  QueueHostEvent(rig.monitor, kHostFoundEnclosure);
  rig.monitor.HostEventFirstLba = 0x1122334455;
  ASSERT_EQ(rig.raid.WriteHostEventSector(EnclosureSlot{1}), ControlWrite::Written);
  rig.client.schedule = FillSettings({false, PeriodUnit::Hours, "8"});
  ASSERT_EQ(rig.raid.WriteSettingsSector(rig.client, EnclosureSlot{1}), ControlWrite::Written);
  QueueHostEvent(rig.monitor, kHostShuttingDown);
  ASSERT_EQ(rig.raid.WriteHostEventSector(EnclosureSlot{1}), ControlWrite::Written);

  using Head = std::vector<uint8_t>;
  const std::vector<Head> heads = {
      {0x33, 0x58, 0x20, 0, 0, 1, 0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {0x33, 0x58, 0x1F, 1, 0x21, 1, 0x88, 0x55, 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 0, 0, 0},
      {0x33, 0x58, 0x20, 0, 0, 0, 0, 0x55, 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 0, 0, 0},
      {0x33, 0x58, 0x1F, 1, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
  };
  const std::vector<uint16_t> sums = {0x5A, 0x5A + 0xFF, 0x5A + 0xFF, 0x5A};
  EXPECT_TRUE(rig.controllers[0]->ControlWrites().empty());
  const auto writes = rig.controllers[1]->ControlWrites();
  ASSERT_EQ(writes.size(), heads.size());
  for (std::size_t i = 0; i < writes.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Head(writes[i].sector.begin(), writes[i].sector.begin() + 19), heads[i]);
    EXPECT_EQ(writes[i].sector[300], 0x5A);
    EXPECT_EQ(writes[i].storedSum, sums[i]);
    EXPECT_TRUE(writes[i].sumOk);
  }
  // One WRITE(10) of one sector at LBA 20 per request.
  int controlWrites = 0;
  for (const auto& e : rig.bus.Trace()) {
    if (e.opcode != 0x2A) continue;
    ++controlWrites;
    EXPECT_EQ(e.lba, 20U);
    EXPECT_EQ(e.count, 1U);
  }
  EXPECT_EQ(controlWrites, 4);
  EXPECT_EQ(rig.enclosures[EnclosureSlot{1}].busyCountdown, kSettingsBusySeconds);
  EXPECT_EQ(rig.enclosures[EnclosureSlot{0}].busyCountdown, 0);
  EXPECT_EQ(rig.panels.recorded.TextsOf(kMessagePanel), (std::vector<std::string>{" ", " "}));
}

TEST(ControlSector, RefusalsAndFailures) {
  enum Request { Settings, HostEvent };
  struct Case {
    const char* name;
    Request request;
    std::function<void(PollRig&)> set;
    std::vector<std::string> panel4;
    bool box, busy;
    ControlWrite result = ControlWrite::NotSent;
    ControlTarget target = EnclosureSlot{0};
  } cases[] = {
      {"no device",
       Settings,
       [](PollRig& r) { r.devices.DeviceCount = 0; },
       {"Device not found!!!"},
       true,
       false},
      {"no device, host event",
       HostEvent,
       [](PollRig& r) { r.devices.DeviceCount = 0; },
       {"Device not found!!!"},
       true,
       false},
      {"device does not open",
       Settings,
       [](PollRig& r) { r.bus.SetOpenFails(0, true); },
       {"CreateFile blocked!"},
       false,
       false},
      {"write fails",
       Settings,
       [](PollRig& r) { r.bus.FailCommandsAfter(0); },
       {"Error code 120"},
       false,
       true,
       ControlWrite::Failed},
      {"write fails, host event",
       HostEvent,
       [](PollRig& r) { r.bus.FailCommandsAfter(0); },
       {"Error code 120"},
       false,
       false,
       ControlWrite::Failed},
      {"page switching",
       Settings,
       [](PollRig& r) { r.client.pageSwitching = true; },
       {},
       false,
       false},
      {"no page in front",
       Settings,
       [](PollRig&) {},
       {"Device not found!!!"},
       true,
       false,
       ControlWrite::NotSent,
       std::nullopt},
      {"no page in front, host event",
       HostEvent,
       [](PollRig&) {},
       {"Device not found!!!"},
       true,
       false,
       ControlWrite::NotSent,
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PollRig rig;
    c.set(rig);
    const ControlWrite result = c.request == Settings
                                    ? rig.raid.WriteSettingsSector(rig.client, c.target)
                                    : rig.raid.WriteHostEventSector(c.target);
    EXPECT_EQ(result, c.result);
    EXPECT_TRUE(rig.controllers[0]->ControlWrites().empty());
    EXPECT_EQ(rig.panels.recorded.TextsOf(kMessagePanel), c.panel4);
    const auto boxes = rig.messages.boxes();
    EXPECT_EQ(boxes.size(), c.box ? 1U : 0U);
    if (c.box) {
      EXPECT_EQ(boxes[0].title, "Message");
      EXPECT_EQ(boxes[0].text, "No Device found !");
    }
    EXPECT_EQ(rig.enclosures[EnclosureSlot{0}].busyCountdown, c.busy ? kSettingsBusySeconds : 0);
  }
}

TEST(ControlSector, PageSwitchingDoesNotHoldBackAHostEvent) {
  PollRig rig;
  rig.client.pageSwitching = true;
  QueueHostEvent(rig.monitor, kHostFoundEnclosure);
  EXPECT_EQ(rig.raid.WriteHostEventSector(EnclosureSlot{0}), ControlWrite::Written);
  ASSERT_EQ(rig.controllers[0]->ControlWrites().size(), 1U);
  EXPECT_EQ(rig.controllers[0]->ControlWrites()[0].hostEvent, kHostFoundEnclosure);
  EXPECT_TRUE(rig.panels.recorded.TextsOf(kMessagePanel).empty());
}

// Which request each call serves, and what the word holds after it.
TEST(DispatchRequest, OneRequestPerCallPollFirstThenSettingsThenHostEvent) {
  PollRig rig;
  QueueHostEvent(rig.monitor, kHostFoundEnclosure);
  rig.monitor.MonitorRequests |= kMonitoringActive | kPollStatus | kWriteSettings;
  struct Step {
    uint8_t left;
    std::size_t polls, controlWrites;
  } steps[] = {
      {kMonitoringActive | kWriteSettings | kSendHostEvent, 1, 0},
      {kMonitoringActive | kSendHostEvent, 1, 1},
      {kMonitoringActive, 1, 2},
      {kMonitoringActive, 1, 2},
  };
  for (const auto& s : steps) {
    rig.raid.DispatchRequest(rig.client, EnclosureSlot{0});
    EXPECT_EQ(rig.monitor.MonitorRequests.load(), s.left);
    EXPECT_EQ(rig.monitor.PollCount, s.polls);
    EXPECT_EQ(rig.controllers[0]->ControlWrites().size(), s.controlWrites);
  }
  const auto writes = rig.controllers[0]->ControlWrites();
  EXPECT_EQ(writes[0].requestCode, kControlSettings);
  EXPECT_EQ(writes[1].requestCode, kControlHostEvent);
}

TEST(DispatchRequest, NothingIsServedWhileADetectionIsPendingOrTheWindowCloses) {
  for (bool closing : {false, true}) {
    PollRig rig;
    rig.monitor.MonitorRequests = kPollStatus | kWriteSettings;
    if (!closing) rig.detection.handover.Request();
    rig.flags.closing = closing;
    rig.raid.DispatchRequest(rig.client, EnclosureSlot{0});
    EXPECT_EQ(rig.monitor.MonitorRequests.load(), kPollStatus | kWriteSettings);
    EXPECT_EQ(rig.monitor.PollCount, 0U);
  }
}

}  // namespace
}  // namespace px
