#include "raid/raid_thread.h"

namespace px {
namespace {

constexpr uint32_t kCycleMs = 50;

}  // namespace

TRaidThread::TRaidThread(const RaidContext& context, std::function<void()> serve, HandOver handOver)
    : WorkerThread(context.flags.closing),
      serve_(std::move(serve)),
      detection_(context.detection),
      state_(context.monitor),
      clock_(context.channel.clock()),
      handOver_(std::move(handOver)) {
  Start();
}

void TRaidThread::Step() {
  // MonitoringActive alone also hands over; the dispatch then does nothing.
  // Once the application closes the window's thread may be waiting for this
  // one, so nothing more is handed over.
  if (!detection_.handover.Pending() && state_.MonitorRequests.load() != 0 && !Closing()) {
    handOver_(serve_);
  }
  clock_.SleepMs(kCycleMs);
}

}  // namespace px
