#include "history/estimator.h"

#include <algorithm>
#include <cmath>

namespace px::history {
namespace {

constexpr int kEnoughPercent = 2;
constexpr int64_t kEnoughSeconds = 120;
// Long enough to smooth out the poll's uncertainty, short enough to follow a
// rebuild that slows down when the host uses the volume.
constexpr int64_t kWindowSeconds = 1800;

}  // namespace

std::optional<double> MeasuredRate(int64_t fromTime, int fromPercent, int64_t toTime,
                                   int toPercent) {
  if (toPercent - fromPercent < kEnoughPercent || toTime - fromTime < kEnoughSeconds)
    return std::nullopt;
  return static_cast<double>(toPercent - fromPercent) / static_cast<double>(toTime - fromTime);
}

void RebuildEstimator::Observe(int64_t time, const std::optional<RebuildObservation>& rebuild) {
  const bool same = rebuild && current_ && rebuild->direction == current_->direction &&
                    rebuild->percent >= current_->percent;
  if (!same) {
    first_.reset();
    recent_.clear();
  } else if (rebuild->percent != current_->percent) {
    const Step step{time, rebuild->percent};
    if (!first_) first_ = step;
    recent_.push_back(step);
    // The oldest move is needed while the next one is still within the window.
    while (recent_.size() > 2 && time - recent_[1].at >= kWindowSeconds) recent_.pop_front();
  }
  current_ = rebuild;
}

std::optional<int64_t> RebuildEstimator::Remaining(int64_t time,
                                                   std::optional<double> fallback) const {
  if (!current_) return std::nullopt;
  double position = current_->percent;
  std::optional<double> rate;
  if (first_ &&
      MeasuredRate(first_->at, first_->percent, recent_.back().at, recent_.back().percent)) {
    const Step& from = recent_.front();
    const Step& to = recent_.back();
    rate = static_cast<double>(to.percent - from.percent) / static_cast<double>(to.at - from.at);
    // It reached its percentage at the last move and has gone on since, but
    // not as far as the next percent, or the controller would say so.
    position = std::min(to.percent + *rate * static_cast<double>(time - to.at), to.percent + 1.0);
  } else if (fallback && *fallback > 0) {
    rate = fallback;
  }
  if (!rate) return std::nullopt;
  return std::max<int64_t>(0, std::llround((100.0 - position) / *rate));
}

}  // namespace px::history
