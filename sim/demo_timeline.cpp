#include "sim/demo_timeline.h"

#include <algorithm>
#include <stdexcept>

#include "sim/demo_scenarios.h"
#include "sim/virtual_bus.h"

namespace px::sim {

void DemoTimeline::Add(uint64_t atMs, std::string caption, Action action) {
  if (loopMs_ != 0 && atMs >= loopMs_) {
    throw std::invalid_argument("demo step at " + std::to_string(atMs) + " ms lies outside its " +
                                std::to_string(loopMs_) + " ms loop");
  }
  const auto at = std::upper_bound(steps_.begin(), steps_.end(), atMs,
                                   [](uint64_t t, const Step& step) { return t < step.atMs; });
  steps_.insert(at, Step{atMs, std::move(caption), std::move(action)});
}

void DemoTimeline::Start() {
  started_ = true;
  startMs_ = clock_.TickMs();
  round_ = 0;
  next_ = 0;
  caption_.clear();
}

std::size_t DemoTimeline::Tick() {
  if (!started_) return 0;
  const uint64_t now = clock_.TickMs();
  std::size_t ran = 0;
  for (;;) {
    while (next_ < steps_.size() && RoundStartMs() + steps_[next_].atMs <= now) {
      const Step& step = steps_[next_++];
      caption_ = step.caption;
      ++ran;
      if (step.action) step.action();
    }
    if (loopMs_ == 0 || next_ < steps_.size() || now < RoundStartMs() + loopMs_) break;
    ++round_;
    next_ = 0;
  }
  return ran;
}

std::optional<uint64_t> DemoTimeline::MsUntilNextStep() const {
  if (!started_ || steps_.empty()) return std::nullopt;
  uint64_t due = 0;
  if (next_ < steps_.size()) {
    due = RoundStartMs() + steps_[next_].atMs;
  } else if (loopMs_ != 0) {
    due = RoundStartMs() + loopMs_ + steps_.front().atMs;
  } else {
    return std::nullopt;
  }
  const uint64_t now = clock_.TickMs();
  return due > now ? due - now : 0;
}

void AddDemoStory(DemoTimeline& timeline, VirtualBus& bus) {
  // Each step finds the mirror afresh: whatever the bus holds at that number
  // is what the user is watching.
  const auto mirror = [&bus](const std::function<void(ControllerScenario&)>& change) {
    if (const auto controller = bus.EnclosureAt(kMirrorDrive)) controller->UpdateScenario(change);
  };
  timeline.Add(0, "Mirror: both members ready",
               [mirror] { mirror([](ControllerScenario& s) { s = HealthyMirrorScenario(); }); });
  timeline.Add(kMemberRemovedMs, "Mirror: P1 member pulled out",
               [mirror] { mirror([](ControllerScenario& s) { s.p1.state = kPortStateOff; }); });
  timeline.Add(kMemberInsertedMs, "Mirror: a disk inserted into P1", [mirror] {
    mirror([](ControllerScenario& s) { s.p1.state = kPortStateInserted; });
  });
  for (uint64_t step = 0; step < 10; ++step) {
    const auto percent = static_cast<uint8_t>(step * 10);
    timeline.Add(
        kRebuildStartMs + step * kRebuildStepMs,
        "Mirror: rebuilding P1, " + std::to_string(percent) + " %", [mirror, percent] {
          mirror([percent](ControllerScenario& s) { s = RebuildingMirrorScenario(percent); });
        });
  }
  timeline.Add(kRebuildDoneMs, "Mirror: rebuild finished, pair normal",
               [mirror] { mirror([](ControllerScenario& s) { s = HealthyMirrorScenario(); }); });
  timeline.Add(kStripeUnpluggedMs, "Stripe enclosure unplugged",
               [&bus] { UnplugStripeEnclosure(bus); });
  timeline.Add(kStripePluggedMs, "Stripe enclosure plugged in", [&bus] {
    if (!bus.EnclosureAt(kStripeDrive)) PlugStripeEnclosure(bus);
  });
}

}  // namespace px::sim
