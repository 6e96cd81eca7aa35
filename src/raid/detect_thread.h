#pragma once

#include "raid/context.h"
#include "raid/discovery.h"
#include "raid/worker_thread.h"

namespace px {

// Runs a detection whenever the window asks for one, and otherwise looks
// again every 100 ms; it probes the drives as `probing` says. Started running
// by its constructor.
class DriveDetectThread final : public WorkerThread {
 public:
  DriveDetectThread(DriveDiscovery& discovery, const RaidContext& context, ProbeOptions probing);
  ~DriveDetectThread() override { Stop(); }

 private:
  void Step() override;

  DriveDiscovery& discovery_;
  const ProbeOptions probing_;
  DetectionState& detection_;
  Clock& clock_;
};

}  // namespace px
