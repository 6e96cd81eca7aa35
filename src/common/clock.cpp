#include "common/clock.h"

#include <chrono>
#include <thread>

#ifdef _WIN32
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on
#endif

namespace px {

#ifdef _WIN32
namespace {

// Not in every SDK's headers; the value is the system's (Windows 10 1803).
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// Windows wakes a sleeping thread on its timer tick, every 15.6 ms unless
// someone raised the resolution: the channel's 10 ms pause between two reply
// reads would last 15.6 ms, and an upgrade, thousands of such pauses, a
// seventh longer. A high-resolution waitable timer wakes on time without
// changing the system's tick for anyone; each thread makes its own on its
// first pause and keeps it.
class PreciseTimer {
 public:
  PreciseTimer()
      : handle_(CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                       TIMER_ALL_ACCESS)) {}
  ~PreciseTimer() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  PreciseTimer(const PreciseTimer&) = delete;
  PreciseTimer& operator=(const PreciseTimer&) = delete;

  // False when the system has no such timer: the caller pauses another way.
  bool Sleep(uint32_t ms) {
    if (handle_ == nullptr) return false;
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(ms) * kTicksPerMs;  // negative: relative
    if (!SetWaitableTimerEx(handle_, &due, 0, nullptr, nullptr, nullptr, 0)) return false;
    return WaitForSingleObject(handle_, INFINITE) == WAIT_OBJECT_0;
  }

 private:
  static constexpr LONGLONG kTicksPerMs = 10'000;  // the timer counts 100 ns
  HANDLE handle_;
};

// Pauses of device work are 10 ms (a reply poll, a slice of the window's
// longer pauses). The threads' idle waits are 50 ms and more; ending a tick
// late does them no harm, and raising the resolution for them would keep it
// raised for good.
constexpr uint32_t kFineUpToMs = 20;

// Before Windows 10 1803: the system's tick is brought to 1 ms for the
// length of one short pause, and back as soon as it ends, so an idle
// program leaves the machine's timer (and its battery) alone.
void CoarseSleep(uint32_t ms) {
  if (ms > kFineUpToMs) {
    Sleep(ms);
    return;
  }
  timeBeginPeriod(1);
  Sleep(ms);
  timeEndPeriod(1);
}

}  // namespace
#endif

uint64_t SteadyClock::TickMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SteadyClock::SleepMs(uint32_t ms) {
#ifdef _WIN32
  thread_local PreciseTimer timer;
  if (!timer.Sleep(ms)) CoarseSleep(ms);
#else
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
#endif
}

}  // namespace px
