#pragma once

#include <functional>

#include "raid/context.h"
#include "raid/worker_thread.h"

namespace px {

// Turns the requests of MonitorRequests into work on the window's thread:
// every 50 ms, unless a detection is pending, it hands the monitor's dispatch
// over and waits for it. Started running by its constructor.
class TRaidThread final : public WorkerThread {
 public:
  // Runs the given work on the window's thread and returns when it is done
  // (a blocking queued call in the window, a direct call in tests).
  using HandOver = std::function<void(const std::function<void()>&)>;

  // `serve` is the work handed over: the monitor's dispatch, and whatever
  // the front end makes of its result.
  TRaidThread(const RaidContext& context, std::function<void()> serve, HandOver handOver);
  ~TRaidThread() override { Stop(); }

 private:
  void Step() override;

  std::function<void()> serve_;
  const DetectionState& detection_;
  const MonitorState& state_;
  Clock& clock_;
  HandOver handOver_;
};

}  // namespace px
