// Time left of a rebuild, against virtual rebuilds of a known rate polled as
// the monitor polls: every four seconds, whole percents.

#include "history/estimator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/time_text.h"
#include "unit/history/history_test_support.h"

namespace px::history {
namespace {

using namespace test;

// A rebuild at a steady number of sectors a second, as the controller reports
// it: whole percents of the volume done.
struct VirtualRebuild {
  uint64_t sectors = kTerabyte;
  double sectorsPerSecond = 150e6 / 512;  // 150 MB/s
  double Seconds() const { return static_cast<double>(sectors) / sectorsPerSecond; }
  uint8_t PercentAt(double elapsed) const {
    return static_cast<uint8_t>(std::min(100.0, std::floor(100.0 * elapsed / Seconds())));
  }
};

constexpr RebuildObservation At(uint8_t percent) {
  return {RebuildDirection::TowardsP1, percent};
}

TEST(RebuildEstimate, IsWithinATenthOfTheTruthFromTwentyPercentOn) {
  const std::vector<VirtualRebuild> rebuilds = {
      {kTerabyte, 150e6 / 512},      // 1 TB at 150 MB/s: 1 h 51 min
      {4 * kTerabyte, 90e6 / 512},   // 4 TB at 90 MB/s: 12 h 21 min
      {kTerabyte / 2, 200e6 / 512},  // 500 GB at 200 MB/s: 42 min
  };
  for (const VirtualRebuild& rebuild : rebuilds) {
    SCOPED_TRACE(rebuild.Seconds());
    RebuildEstimator estimator;
    estimator.Observe(kStart, std::nullopt);
    // The polls do not wait for the rebuild: it started between two.
    const double offset = 1.7;
    int estimates = 0;
    for (int64_t t = kStart + kPollSeconds;; t += kPollSeconds) {
      const double elapsed = static_cast<double>(t - kStart) - offset;
      const uint8_t percent = rebuild.PercentAt(elapsed);
      if (percent >= 96) break;
      estimator.Observe(t, At(percent));
      const std::optional<int64_t> left = estimator.Remaining(t, std::nullopt);
      if (percent < 2) {
        EXPECT_FALSE(left) << "at " << int{percent} << "%";
      }
      if (percent < 20) continue;
      const double truth = rebuild.Seconds() - elapsed;
      ASSERT_TRUE(left) << "at " << int{percent} << "%";
      EXPECT_LE(std::abs(static_cast<double>(*left) - truth), truth / 10)
          << "at " << int{percent} << "%: " << *left << " s, truly " << truth << " s";
      ++estimates;
    }
    EXPECT_GT(estimates, 100);
  }
}

TEST(RebuildEstimate, WaitsForTwoPercentAndTwoMinutesOfItsOwnProgress) {
  // The first reading, at 30 %, says nothing of when 30 % was reached; the
  // moves after it do.
  struct Case {
    int64_t secondsPerPercent;
    int firstEstimateAt;  // percent
  };
  for (const Case c : {Case{20, 37}, Case{300, 33}}) {
    SCOPED_TRACE(c.secondsPerPercent);
    RebuildEstimator estimator;
    int first = 0;
    for (int64_t s = 0; first == 0 && s < 100 * c.secondsPerPercent; s += kPollSeconds) {
      const auto percent = static_cast<uint8_t>(30 + s / c.secondsPerPercent);
      estimator.Observe(kStart + s, At(percent));
      if (estimator.Remaining(kStart + s, std::nullopt)) first = percent;
    }
    EXPECT_EQ(first, c.firstEstimateAt);
  }
}

// A rebuild in the other direction is another one; once none runs, there is
// nothing to tell.
TEST(RebuildEstimate, BeginsAnewWithAnotherRebuild) {
  RebuildEstimator estimator;
  for (int64_t s = 0; s <= 600; s += kPollSeconds)
    estimator.Observe(kStart + s, At(static_cast<uint8_t>(s / 60)));
  EXPECT_TRUE(estimator.Remaining(kStart + 600, std::nullopt));
  estimator.Observe(kStart + 604, RebuildObservation{RebuildDirection::TowardsP0, 10});
  EXPECT_FALSE(estimator.Remaining(kStart + 604, std::nullopt));
  EXPECT_TRUE(estimator.Remaining(kStart + 604, 0.01));
  estimator.Observe(kStart + 608, std::nullopt);
  EXPECT_FALSE(estimator.Remaining(kStart + 608, 0.01));
}

TEST(RebuildEstimate, FollowsARebuildThatSlowsDown) {
  // 1 % a minute up to 50 %, then 1 % every two minutes.
  RebuildEstimator estimator;
  const auto percentAt = [](int64_t s) {
    return static_cast<uint8_t>(s < 3000 ? s / 60 : 50 + (s - 3000) / 120);
  };
  for (int64_t s = 0; s <= 3000 + 2400; s += kPollSeconds)
    estimator.Observe(kStart + s, At(percentAt(s)));
  const int64_t now = kStart + 3000 + 2400;
  const double truth = (100.0 - 70.0) * 120;
  const auto left = estimator.Remaining(now, std::nullopt);
  ASSERT_TRUE(left);
  EXPECT_LE(std::abs(static_cast<double>(*left) - truth), truth / 10) << *left;
}

// Until a rebuild has shown its own pace, the last rebuild's on the same
// enclosure stands in, from the history file, in this run or the next.
TEST(RebuildEstimate, TakesTheLastRebuildsRateUntilItsOwnIsKnown) {
  TempDir dir;
  const VirtualRebuild rebuild;
  const MemberObservation a = Disk("A");
  const MemberObservation b = Disk("B");
  int64_t t = kStart;
  auto writer = std::make_unique<HistoryWriter>(HistoryIn(dir));
  const auto poll = [&](Observation now) {
    now.time = t;
    return writer->RecordPoll({&now, 1}, {}).at(0).remainingSeconds;
  };
  const auto rebuilding = [&](const std::string& id, uint8_t percent, uint64_t volume) {
    Observation now = Mirror(id, a, b);
    now.volumeSectors = volume;
    now.rebuild = At(percent);
    return now;
  };
  poll(Mirror("E1", a, b));
  poll(Mirror("E2", a, b));
  t += kPollSeconds;
  EXPECT_FALSE(poll(rebuilding("E1", 0, kTerabyte))) << "no rebuild before";
  const int64_t begun = t;
  for (uint8_t percent = 0; percent < 100;) {
    t += kPollSeconds;
    percent = rebuild.PercentAt(static_cast<double>(t - begun));
    poll(percent < 100 ? rebuilding("E1", percent, kTerabyte) : Mirror("E1", a, b));
  }

  struct Case {
    const char* name;
    std::string id;
    uint64_t volume;
    bool restart;
    std::optional<double> expected;  // seconds, for the whole rebuild
  };
  const std::vector<Case> cases = {
      {"the same enclosure", "E1", kTerabyte, false, rebuild.Seconds()},
      {"a volume twice the size", "E1", 2 * kTerabyte, false, 2 * rebuild.Seconds()},
      {"the next run", "E1", kTerabyte, true, rebuild.Seconds()},
      {"another enclosure", "E2", kTerabyte, false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.restart) {
      writer.reset();
      writer = std::make_unique<HistoryWriter>(HistoryIn(dir));
    }
    t += kPollSeconds;
    const std::optional<int64_t> left = poll(rebuilding(c.id, 0, c.volume));
    t += kPollSeconds;
    poll(Mirror(c.id, a, b));
    ASSERT_EQ(left.has_value(), c.expected.has_value());
    if (c.expected) {
      EXPECT_LE(std::abs(static_cast<double>(*left) - *c.expected), *c.expected / 10);
    }
  }
}

TEST(RebuildEstimate, TextRoundsToWhatAnEstimateCanTell) {
  const std::vector<std::pair<int64_t, std::string>> cases = {
      {0, "less than a minute left"},
      {59, "less than a minute left"},
      {60, "about 1 min left"},
      {25 * 60 + 29, "about 25 min left"},
      {59 * 60 + 31, "about 1 h left"},
      {3 * 3600 + 10 * 60, "about 3 h 10 min left"},
      {3 * 3600 + 14 * 60 + 59, "about 3 h 10 min left"},
      {3 * 3600 + 55 * 60, "about 4 h left"},
      {23 * 3600 + 57 * 60, "about 1 d left"},
      {2 * 86400 + 5 * 3600 + 20 * 60, "about 2 d 5 h left"},
  };
  for (const auto& [seconds, text] : cases) EXPECT_EQ(RemainingText(seconds), text) << seconds;
}

TEST(HistoryTimes, ReadAndWrittenInUtc) {
  EXPECT_EQ(UtcTimestamp(kStart), "2026-12-07T10:00:00Z");
  EXPECT_EQ(UtcDate(kStart), "2026-12-07");
  EXPECT_EQ(ParseUtcTime("2026-12-07T10:00:00Z"), kStart);
  EXPECT_EQ(ParseUtcTime("2026-12-07T10:00:00"), kStart);
  EXPECT_EQ(ParseUtcTime("2026-12-07"), kStart - 10 * 3600);
  for (const char* bad : {"2026-02-30", "2026-12-07T24:00:00", "2026-12-07 10:00:00", "2026-12-7",
                          "2026-12-07T-1:00:00", "yesterday", ""})
    EXPECT_FALSE(ParseUtcTime(bad)) << bad;
  EXPECT_EQ(DurationText(45), "45 s");
  EXPECT_EQ(DurationText(3 * 3600 + 12 * 60 + 10), "3 h 12 min");
  EXPECT_EQ(DurationText(2 * 86400 + 5 * 60), "2 d 5 min");
}

}  // namespace
}  // namespace px::history
