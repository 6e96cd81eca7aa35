#pragma once

#include <QObject>
#include <cstdint>

#include "common/clock.h"

namespace px::app {

// The clock the core runs on, as the window lends it. A pause on the
// window's own thread (the 200 ms before every controller query of a poll,
// the 10 ms between reply reads) is cut into short slices with the window's
// events run between them, so the window never freezes for a pause. On any
// other thread a pause is just the underlying clock's.
class WindowClock final : public px::Clock {
 public:
  static constexpr uint32_t kSliceMs = 10;

  WindowClock(px::Clock& inner, const QObject& window) : inner_(inner), window_(window) {}
  uint64_t TickMs() override { return inner_.TickMs(); }
  void SleepMs(uint32_t ms) override;

 private:
  px::Clock& inner_;
  const QObject& window_;
};

}  // namespace px::app
