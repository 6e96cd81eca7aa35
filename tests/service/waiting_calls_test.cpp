// How many calls may wait for polkit: a few per caller, and only so many
// callers at once; an answer makes room again.

#include <gtest/gtest.h>

#include <string>

#include "service/polkit.h"

namespace px::service {
namespace {

TEST(WaitingCalls, AdmitsAFewPerCallerAndSoManyCallers) {
  WaitingCalls waiting;
  // One caller fills its share; the next is refused until one is answered.
  for (std::size_t n = 0; n < WaitingCalls::kPerCaller; ++n) EXPECT_TRUE(waiting.Admit(":1.7"));
  EXPECT_FALSE(waiting.Admit(":1.7"));
  waiting.Release(":1.7");
  EXPECT_TRUE(waiting.Admit(":1.7"));
  // Other callers are not held up by it, up to the number of callers.
  for (std::size_t n = 1; n < WaitingCalls::kCallers; ++n)
    EXPECT_TRUE(waiting.Admit(":2." + std::to_string(n))) << n;
  EXPECT_FALSE(waiting.Admit(":3.1"));
  // A caller whose last call is answered leaves room for a new one.
  waiting.Release(":2.1");
  EXPECT_TRUE(waiting.Admit(":3.1"));
  EXPECT_FALSE(waiting.Admit(":3.2"));
  // An answer for a caller not waiting (twice released) changes nothing.
  waiting.Release(":9.9");
  EXPECT_FALSE(waiting.Admit(":3.2"));
}

}  // namespace
}  // namespace px::service
