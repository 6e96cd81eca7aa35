#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bus/sd_bus_handles.h"
#include "raid/polled_elsewhere.h"

namespace px::bus {

// The enclosures pxraidd polls, read from its objects on the bus: what a
// user's window finds and shows while the service alone opens the disks.
class ServicePolls final : public PolledElsewhere {
 public:
  // `address`: the bus the service is on; empty for the system bus.
  explicit ServicePolls(std::string address = {}) : address_(std::move(address)) {}

  // One GetManagedObjects, never starting the service: a client that finds
  // none works as it would have without it.
  std::optional<std::vector<PolledEnclosure>> Enclosures() override;

 private:
  // Discovery's thread and the window's poll both ask.
  std::mutex mutex_;
  std::string address_;
  Bus bus_;
};

// pxraidd owns its name on the bus at `address` (empty: the system bus).
bool ServiceRuns(const std::string& address = {});

}  // namespace px::bus
