#pragma once

#include <cstdint>

namespace px {

// Every pause and every time-out of the program goes through this, so that
// tests run a 4-second reply wait in no wall time and the window's thread can
// keep its event loop going while it waits.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint64_t TickMs() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
};

// The real thing: std::chrono::steady_clock, and pauses that last what they
// say: std::this_thread::sleep_for, and on Windows a high-resolution timer
// (or, on systems before it, a 1 ms system tick for the length of a short
// pause), since the default 15.6 ms tick would stretch every 10 ms pause of
// the channel by half.
class SteadyClock final : public Clock {
 public:
  uint64_t TickMs() override;
  void SleepMs(uint32_t ms) override;
};

}  // namespace px
