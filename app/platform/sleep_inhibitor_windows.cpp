#include <utility>

#include "app/platform/sleep_inhibitor.h"
#include "common/windows/execution_state_inhibitor.h"

namespace px::app {

std::unique_ptr<px::SleepInhibitor> CreateSleepInhibitor(px::Notice notice) {
  return std::make_unique<px::ExecutionStateInhibitor>(std::move(notice));
}

}  // namespace px::app
