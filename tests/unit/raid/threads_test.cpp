#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <vector>

#include "raid/detect_thread.h"
#include "raid/raid_thread.h"
#include "raid_rig.h"

namespace px {
namespace {

using test::Eventually;
using test::RaidRig;

// Runs the hand-over on the polling thread itself and notes the request word
// each time.
struct DirectHandOver {
  explicit DirectHandOver(const std::atomic<uint8_t>& requests) : words(&requests) {}
  TRaidThread::HandOver Make() {
    return [this](const std::function<void()>& work) {
      seen.push_back(words->load());
      ++count;
      work();
    };
  }
  const std::atomic<uint8_t>* words;
  std::vector<uint8_t> seen;  // read only after the thread is joined
  std::atomic<int> count{0};
};

TEST(TRaidThread, ServesOneRequestPerHandOverInPriorityOrder) {
  RaidRig rig;
  const auto enclosure = rig.bus.AttachEnclosure(0);
  rig.Detect();
  QueueHostEvent(rig.monitor, kHostFoundEnclosure);
  rig.monitor.MonitorRequests |= kMonitoringActive | kWriteSettings | kPollStatus;
  DirectHandOver handOver(rig.monitor.MonitorRequests);
  {
    TRaidThread thread(rig.context, rig.Serve(), handOver.Make());
    ASSERT_TRUE(Eventually([&] { return handOver.count.load() >= 5; }));
  }
  ASSERT_GE(handOver.seen.size(), 4U);
  EXPECT_EQ(std::vector<uint8_t>(handOver.seen.begin(), handOver.seen.begin() + 4),
            (std::vector<uint8_t>{kMonitoringActive | kPollStatus | kWriteSettings | kSendHostEvent,
                                  kMonitoringActive | kWriteSettings | kSendHostEvent,
                                  kMonitoringActive | kSendHostEvent, kMonitoringActive}));
  EXPECT_EQ(rig.monitor.PollCount, 1U);
  const auto writes = enclosure->ControlWrites();
  ASSERT_EQ(writes.size(), 2U);
  EXPECT_EQ(writes[0].requestCode, kControlSettings);
  EXPECT_EQ(writes[1].requestCode, kControlHostEvent);
  EXPECT_EQ(writes[1].hostEvent, kHostFoundEnclosure);
}

TEST(TRaidThread, HandsNothingOverWhileADetectionIsPending) {
  RaidRig rig;
  rig.bus.AttachEnclosure(0);
  rig.Detect();
  // A detection asked for, with no detection thread to run it yet.
  rig.detection.handover.Request();
  rig.monitor.MonitorRequests = kPollStatus;
  DirectHandOver handOver(rig.monitor.MonitorRequests);
  TRaidThread thread(rig.context, rig.Serve(), handOver.Make());
  // Twenty cycles of the thread, counted on its clock.
  const uint64_t start = rig.clock.SleptMs();
  ASSERT_TRUE(Eventually([&] { return rig.clock.SleptMs() - start >= 20 * 50; }));
  EXPECT_EQ(handOver.count.load(), 0);
  EXPECT_EQ(rig.monitor.MonitorRequests.load(), kPollStatus);

  ASSERT_TRUE(rig.detection.handover.Begin());
  rig.detection.handover.Finish();
  ASSERT_TRUE(Eventually([&] { return rig.monitor.MonitorRequests.load() == 0; }));
  thread.Stop();
  EXPECT_EQ(handOver.count.load(), 1);
  EXPECT_EQ(rig.monitor.PollCount, 1U);
}

TEST(TRaidThread, EndsWithoutHandingOverOnceTheWindowCloses) {
  RaidRig rig;
  rig.monitor.MonitorRequests = kPollStatus;
  rig.flags.closing = true;
  DirectHandOver handOver(rig.monitor.MonitorRequests);
  TRaidThread thread(rig.context, rig.Serve(), handOver.Make());
  ASSERT_TRUE(Eventually([&] { return thread.Finished(); }));
  thread.Join();
  EXPECT_EQ(handOver.count.load(), 0);
}

TEST(DriveDetectThread, DetectsOnRequestAndHandsTheResultsBack) {
  RaidRig rig;
  rig.bus.AttachPlainDisk(0);
  rig.bus.AttachEnclosure(1);
  rig.bus.AttachPlainDisk(2);
  rig.bus.AttachEnclosure(3);
  rig.detection.LetterCount = rig.discovery.ListLogicalDrives();
  rig.detection.PhysicalDriveCount = rig.discovery.CountPhysicalDrives();
  DriveDetectThread thread(rig.discovery, rig.context);
  rig.detection.handover.Request();
  ASSERT_TRUE(Eventually([&] { return rig.detection.handover.Finished(); }));
  EXPECT_FALSE(rig.detection.handover.Pending());
  EXPECT_FALSE(rig.detection.handover.Begin()) << "the request was taken once";
  EXPECT_EQ(rig.devices.DeviceCount, 2U);
  EXPECT_EQ(rig.devices.DeviceSlot[0], 0x41U);
  EXPECT_EQ(rig.devices.DeviceSlot[1], 0x43U);
}

TEST(DriveDetectThread, StopsWhenToldOrWhenTheWindowCloses) {
  for (bool closing : {false, true}) {
    RaidRig rig;
    DriveDetectThread thread(rig.discovery, rig.context);
    if (closing) {
      rig.flags.closing = true;
    } else {
      thread.RequestStop();
    }
    ASSERT_TRUE(Eventually([&] { return thread.Finished(); }));
    thread.Join();
  }
}

// The window's thread as the worker threads see it: a queue of handed-over
// work that it runs between its own timer jobs.
class WindowQueue {
 public:
  void HandOver(const std::function<void()>& work) {
    std::promise<void> done;
    auto finished = done.get_future();
    {
      std::lock_guard lock(mutex_);
      jobs_.emplace_back([&] {
        work();
        done.set_value();
      });
    }
    finished.wait();
  }
  void RunPending() {
    std::deque<std::function<void()>> jobs;
    {
      std::lock_guard lock(mutex_);
      jobs.swap(jobs_);
    }
    for (auto& job : jobs) job();
  }

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> jobs_;
};

// Both worker threads against the virtual enclosures while the window raises
// polls, settings writes, host events and new detections, and plugs a drive
// in and out. Run under ThreadSanitizer this shows the hand-over keeps every
// table to one thread at a time.
TEST(WorkerThreads, DetectionAndPollingRunSideBySide) {
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

  WindowQueue window;
  DriveDetectThread detect(rig.discovery, rig.context);
  TRaidThread poll(rig.context, rig.Serve(),
                   [&window](const std::function<void()>& work) { window.HandOver(work); });

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
    window.RunPending();
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
    std::this_thread::yield();
  }

  // Closing: the window keeps serving hand-overs until both threads are out.
  rig.flags.closing = true;
  while (!detect.Finished() || !poll.Finished()) window.RunPending();
  detect.Join();
  poll.Join();
  EXPECT_GE(detections, 6) << "stopped after " << tick << " ticks";
  EXPECT_GE(rig.monitor.PollCount, 20U);
  EXPECT_FALSE(rig.loggedMasks.empty());
  EXPECT_FALSE(rig.bus.EnclosureAt(0)->ControlWrites().empty());
}

}  // namespace
}  // namespace px
