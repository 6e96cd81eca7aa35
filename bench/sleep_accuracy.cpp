// How long the program's pauses really last: the mean and the longest of
// 1,000 pauses of 10 ms through the steady clock, beside the standard
// library's own sleep_for, and the simulator's 0.375 ms read latency. Plain
// output, no benchmark library, so that it also cross-builds for Windows:
//
//   build/dev/bench/sleep_accuracy
//   sh cmake/wine-run.sh build/mingw/wineprefix build/mingw/bench/sleep_accuracy.exe

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "common/clock.h"

namespace {

constexpr int kPauses = 1000;

void Report(const char* what, double askedMs, const std::function<void()>& pause) {
  using Clock = std::chrono::steady_clock;
  double totalMs = 0;
  double longestMs = 0;
  for (int i = 0; i < kPauses; ++i) {
    const Clock::time_point start = Clock::now();
    pause();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    totalMs += ms;
    longestMs = std::max(longestMs, ms);
  }
  std::printf("%-40s asked %6.3f ms, mean %7.3f ms, longest %7.3f ms (%d pauses)\n", what, askedMs,
              totalMs / kPauses, longestMs, kPauses);
  std::fflush(stdout);
}

}  // namespace

int main() {
  px::SteadyClock clock;
  Report("SteadyClock::SleepMs(10)", 10, [&] { clock.SleepMs(10); });
  Report("std::this_thread::sleep_for(10 ms)", 10,
         [] { std::this_thread::sleep_for(std::chrono::milliseconds(10)); });
  Report("std::this_thread::sleep_for(375 us)", 0.375,
         [] { std::this_thread::sleep_for(std::chrono::microseconds(375)); });
  return 0;
}
