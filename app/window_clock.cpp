#include "app/window_clock.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>

namespace px::app {

void WindowClock::SleepMs(uint32_t ms) {
  if (QThread::currentThread() != window_.thread()) {
    inner_.SleepMs(ms);
    return;
  }
  while (ms > 0) {
    QCoreApplication::processEvents();
    const uint32_t slice = std::min(ms, kSliceMs);
    inner_.SleepMs(slice);
    ms -= slice;
  }
}

}  // namespace px::app
