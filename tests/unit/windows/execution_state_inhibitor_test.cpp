#include "common/windows/execution_state_inhibitor.h"

// clang-format off
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The real system call: under Wine in CI, on Windows by hand.
namespace px {
namespace {

// What the thread's execution state is: setting it to what it already is
// changes nothing and answers the state before.
EXECUTION_STATE Current() {
  const EXECUTION_STATE state = SetThreadExecutionState(ES_CONTINUOUS);
  SetThreadExecutionState(state);
  return state;
}

TEST(ExecutionStateInhibitor, TheSystemIsRequiredWhileHeldAndNoLongerAfter) {
  for (const bool destroyedWhileHeld : {false, true}) {
    SCOPED_TRACE(destroyedWhileHeld ? "destroyed while held" : "released");
    SetThreadExecutionState(ES_CONTINUOUS);
    std::vector<std::string> notices;
    {
      ExecutionStateInhibitor inhibitor([&](std::string_view text) { notices.emplace_back(text); });
      inhibitor.Acquire("Firmware upgrade in progress");
      EXPECT_EQ(Current(), static_cast<EXECUTION_STATE>(ES_CONTINUOUS | ES_SYSTEM_REQUIRED));
      if (!destroyedWhileHeld) {
        inhibitor.Release();
        EXPECT_EQ(Current(), static_cast<EXECUTION_STATE>(ES_CONTINUOUS));
      }
    }
    EXPECT_EQ(Current(), static_cast<EXECUTION_STATE>(ES_CONTINUOUS));
    EXPECT_TRUE(notices.empty());
  }
}

}  // namespace
}  // namespace px
