#include <utility>

#include "app/platform/sleep_inhibitor.h"
#include "bus/logind_inhibitor.h"

namespace px::app {

std::unique_ptr<px::SleepInhibitor> CreateSleepInhibitor(px::Notice notice) {
  return std::make_unique<px::bus::SdBusLogindInhibitor>("PX RAID Utility", std::move(notice));
}

}  // namespace px::app
