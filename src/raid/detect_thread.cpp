#include "raid/detect_thread.h"

namespace px {
namespace {

constexpr uint32_t kIdleMs = 100;

}  // namespace

DriveDetectThread::DriveDetectThread(DriveDiscovery& discovery, const RaidContext& context,
                                     ProbeOptions probing)
    : WorkerThread(context.flags.closing),
      discovery_(discovery),
      probing_(probing),
      detection_(context.detection),
      clock_(context.channel.clock()) {
  Start();
}

void DriveDetectThread::Step() {
  if (!detection_.handover.Begin()) {
    clock_.SleepMs(kIdleMs);
    return;
  }
  discovery_.DetectDrives(probing_);
  detection_.handover.Finish();
}

}  // namespace px
