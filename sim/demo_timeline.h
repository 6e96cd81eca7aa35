#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"

namespace px::sim {

class VirtualBus;

// A script of changes to the virtual enclosures, each at its time after
// Start(). Whoever owns the event loop calls Tick() now and then (the demo
// from a timer, tests after advancing a FakeClock); every step whose time has
// come runs then, in time order, so a late tick skips nothing.
class DemoTimeline {
 public:
  using Action = std::function<void()>;

  // loopMs 0: the script runs once. Otherwise it starts over every loopMs,
  // and every step must lie within the loop.
  explicit DemoTimeline(Clock& clock, uint64_t loopMs = 0) : clock_(clock), loopMs_(loopMs) {}

  // Steps at the same time run in the order they were added. Throws
  // std::invalid_argument for a step outside the loop.
  void Add(uint64_t atMs, std::string caption, Action action);

  // Time 0 is now; nothing has run yet.
  void Start();
  // Runs the steps that have come due since the last call; returns how many.
  std::size_t Tick();

  // Caption of the step that ran last; empty before the first.
  const std::string& Caption() const { return caption_; }
  // Time until the next step is due (0 when overdue); nothing once a script
  // that does not loop has run out, or before Start().
  std::optional<uint64_t> MsUntilNextStep() const;

 private:
  struct Step {
    uint64_t atMs;
    std::string caption;
    Action action;
  };
  uint64_t RoundStartMs() const { return startMs_ + round_ * loopMs_; }

  Clock& clock_;
  uint64_t loopMs_;
  std::vector<Step> steps_;  // in time order
  bool started_ = false;
  uint64_t startMs_ = 0;
  uint64_t round_ = 0;
  std::size_t next_ = 0;
  std::string caption_;
};

// The demo's story on the "two-enclosures" bus, two minutes long and looping:
// the mirror's P1 member is pulled out, put back, rebuilt 10 % every five
// seconds and the pair is normal again; then the striped enclosure is
// unplugged and plugged in again.
inline constexpr uint64_t kDemoStoryMs = 120000;
inline constexpr uint64_t kMemberRemovedMs = 20000;
inline constexpr uint64_t kMemberInsertedMs = 35000;
inline constexpr uint64_t kRebuildStartMs = 45000;
inline constexpr uint64_t kRebuildStepMs = 5000;  // 10 % each
inline constexpr uint64_t kRebuildDoneMs = 95000;
inline constexpr uint64_t kStripeUnpluggedMs = 100000;
inline constexpr uint64_t kStripePluggedMs = 110000;

void AddDemoStory(DemoTimeline& timeline, VirtualBus& bus);

}  // namespace px::sim
