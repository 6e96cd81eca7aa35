#pragma once

#include <cstdint>
#include <deque>
#include <optional>

#include "history/observation.h"

// How long a running rebuild has left. The controller reports whole
// percents and is asked every few seconds, so a reading says only that the
// percentage is at least what it shows; the moments at which it moves are
// what the rate is measured between.

namespace px::history {

// Percent per second between two moments at which the percentage moved, once
// they are far enough apart to mean something: at least two percent and two
// minutes. A moment is known to within a poll, which then errs by a few
// percent at most.
std::optional<double> MeasuredRate(int64_t fromTime, int fromPercent, int64_t toTime,
                                   int toPercent);

class RebuildEstimator {
 public:
  // Each answered reading of the enclosure. A rebuild in another direction, or
  // at a lower percentage, is another one and is measured anew.
  void Observe(int64_t time, const std::optional<RebuildObservation>& rebuild);

  // Seconds left at `time`: at the rate of the last half hour of the running
  // rebuild's progress, or while too little of it has been seen, at
  // `fallback` (percent per second, from an earlier rebuild). Nothing when
  // no rebuild runs or neither rate is known.
  std::optional<int64_t> Remaining(int64_t time, std::optional<double> fallback) const;

 private:
  struct Step {
    int64_t at;
    int percent;
  };
  std::optional<RebuildObservation> current_;
  std::optional<Step> first_;  // the first move seen
  std::deque<Step> recent_;    // the moves of the last half hour, and the one before
};

}  // namespace px::history
