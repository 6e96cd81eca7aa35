#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "common/clock.h"

namespace px::sim {

// A clock that moves only when someone sleeps on it (or a simulated device
// charges its latency), so waits of seconds cost no wall time and results do
// not depend on the machine's speed. Safe to share between threads.
class FakeClock final : public Clock {
 public:
  uint64_t TickMs() override { return now_.load(); }
  void SleepMs(uint32_t ms) override {
    now_ += ms;
    slept_ += ms;
    // Loops that sleep to wait for another thread must still let it run.
    std::this_thread::yield();
  }
  // Time that passes without a sleep: device latency, a user's pause.
  void Advance(uint64_t ms) { now_ += ms; }
  // Fractions of a millisecond of device latency, accumulated exactly.
  void AdvanceMicros(uint64_t us) {
    const uint64_t total = micros_ += us;
    now_ += total / 1000 - (total - us) / 1000;
  }
  uint64_t SleptMs() const { return slept_.load(); }

 private:
  std::atomic<uint64_t> now_{0};
  std::atomic<uint64_t> slept_{0};
  std::atomic<uint64_t> micros_{0};
};

}  // namespace px::sim
