#include "cli/commands.h"
#include "cli/sleep_inhibitor.h"
#include "common/windows/execution_state_inhibitor.h"

namespace px::cli {

std::unique_ptr<SleepInhibitor> CreateSleepInhibitor() {
  return std::make_unique<ExecutionStateInhibitor>(
      [](std::string_view text) { Complain(std::string(text)); });
}

}  // namespace px::cli
