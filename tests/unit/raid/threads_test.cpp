#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "raid/detect_thread.h"
#include "raid_rig.h"

namespace px {
namespace {

using test::Eventually;
using test::RaidRig;

TEST(DriveDetectThread, DetectsOnRequestAndHandsTheResultsBack) {
  for (const ProbeOrder order : {ProbeOrder::OneByOne, ProbeOrder::SideBySide}) {
    SCOPED_TRACE(order == ProbeOrder::OneByOne ? "one by one" : "side by side");
    RaidRig rig;
    rig.bus.AttachPlainDisk(0);
    rig.bus.AttachEnclosure(1);
    rig.bus.AttachPlainDisk(2);
    rig.bus.AttachEnclosure(3);
    rig.detection.LetterCount = rig.discovery.ListLogicalDrives();
    rig.detection.PhysicalDriveCount = rig.discovery.CountPhysicalDrives();
    DriveDetectThread thread(rig.discovery, rig.context, {order, std::nullopt});
    rig.detection.handover.Request();
    ASSERT_TRUE(Eventually([&] { return rig.detection.handover.Finished(); }));
    EXPECT_FALSE(rig.detection.handover.Pending());
    EXPECT_FALSE(rig.detection.handover.Begin()) << "the request was taken once";
    EXPECT_EQ(rig.devices.DeviceCount, 2U);
    EXPECT_EQ(rig.devices.DeviceSlot[0], 0x41U);
    EXPECT_EQ(rig.devices.DeviceSlot[1], 0x43U);
  }
}

TEST(DriveDetectThread, StopsWhenToldOrWhenTheWindowCloses) {
  for (bool closing : {false, true}) {
    RaidRig rig;
    DriveDetectThread thread(rig.discovery, rig.context, {});
    if (closing) {
      rig.flags.closing = true;
    } else {
      thread.RequestStop();
    }
    ASSERT_TRUE(Eventually([&] { return thread.Finished(); }));
    thread.Join();
  }
}

// The detection thread against the virtual enclosures while the window's
// thread serves polls, settings writes and host events between its own
// ticks, asks for new detections, and plugs a drive in and out. Run under
// ThreadSanitizer this shows the hand-over keeps every table to one thread at
// a time.
TEST(WorkerThreads, DetectionAndTheWindowsRequestsRunSideBySide) {
  RaidRig rig;
  rig.bus.AttachEnclosure(0);
  rig.bus.AttachPlainDisk(1);
  const auto second = rig.bus.AttachEnclosure(2);
  rig.bus.AddVolume({'E', kDriveFixed, 2, 1024, 4096});

  // Window creation.
  rig.detection.LetterCount = rig.discovery.ListLogicalDrives();
  rig.detection.PhysicalDriveCount = rig.discovery.CountPhysicalDrives();
  rig.detection.handover.SetProbing(true);
  rig.detection.handover.Request();
  rig.monitor.MonitorRequests = kMonitoringActive;

  DriveDetectThread detect(rig.discovery, rig.context, {ProbeOrder::SideBySide, std::nullopt});

  int detections = 0;
  int tick = 0;
  // The window goes on until everything checked below has happened, however
  // slowly the threads are scheduled; the deadline only keeps a broken build
  // from hanging.
  const auto happened = [&] {
    return detections >= 6 && rig.monitor.PollCount >= 20 && !rig.loggedMasks.empty() &&
           !rig.bus.EnclosureAt(0)->ControlWrites().empty();
  };
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  for (; !happened() && std::chrono::steady_clock::now() < giveUp; ++tick) {
    DetectionState& d = rig.detection;
    MonitorState& m = rig.monitor;
    // Polls and detections come first for the polling thread; once there
    // have been enough, the window stops raising them so that a polling
    // thread that is scheduled rarely still gets to the control writes.
    const bool stirring = detections < 6 || m.PollCount < 20;
    if (d.handover.TakeResults()) {
      d.handover.SetProbing(false);
      ++detections;
      if (rig.devices.DeviceCount > 0) m.MonitorRequests |= kPollStatus;
      if (m.FirstDisplay.load()) QueueHostEvent(m, kHostFoundEnclosure);
      m.FirstDisplay = false;
    }
    if (tick % 3 == 0) {
      // Device-change messages keep coming: the window re-counts, even while
      // a detection runs, and detects again unless a poll is requested or a
      // detection is still pending.
      if (tick % 60 == 0) {
        if (detections % 2 == 0) {
          rig.bus.Detach(2);
        } else {
          rig.bus.AttachEnclosure(2, second);
        }
      }
      const uint32_t letters = rig.discovery.ListLogicalDrives();
      const uint32_t drives = rig.discovery.CountPhysicalDrives();
      if (stirring && tick % 60 == 0 && (m.MonitorRequests.load() & kPollStatus) == 0 &&
          !d.handover.Pending()) {
        d.handover.SetProbing(true);
        d.LetterCount = letters;
        d.PhysicalDriveCount = drives;
        d.handover.Request();
      }
    }
    if (stirring && tick % 7 == 0 && !d.handover.Probing() && !m.PollInProgress.load()) {
      m.MonitorRequests |= kPollStatus;
    }
    if (tick % 23 == 0) m.MonitorRequests |= kWriteSettings;
    if (tick % 31 == 0) QueueHostEvent(m, kHostShuttingDown);
    // The window's serving round: one request, unless a detection runs.
    if (!d.handover.Pending() && m.MonitorRequests.load() != 0) rig.Serve()();
    std::this_thread::yield();
  }

  rig.flags.closing = true;
  detect.Join();
  EXPECT_GE(detections, 6) << "stopped after " << tick << " ticks";
  EXPECT_GE(rig.monitor.PollCount, 20U);
  EXPECT_FALSE(rig.loggedMasks.empty());
  EXPECT_FALSE(rig.bus.EnclosureAt(0)->ControlWrites().empty());
}

}  // namespace
}  // namespace px
