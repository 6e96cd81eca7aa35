#include "common/windows/execution_state_inhibitor.h"

// clang-format off
#include <windows.h>
// clang-format on

namespace px {

void ExecutionStateInhibitor::Acquire(std::string_view why) {
  if (held_) return;
  held_ = SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
  if (!held_) notice_.Tell(why, "SetThreadExecutionState refused");
}

void ExecutionStateInhibitor::Release() {
  if (!held_) return;
  SetThreadExecutionState(ES_CONTINUOUS);
  held_ = false;
}

}  // namespace px
