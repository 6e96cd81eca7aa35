#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace px {

// How an upgrade came out: how far it got, whether the flash now holds the
// image, and the words the message panel showed for it ("SPI Verify OK",
// "SPI Erase Fail.", ReadSPI's own text for a read that failed), which the
// day's log and a failed upgrade's box repeat.
struct UpgradeOutcome {
  // The last stage begun: 1 test, 2 erase, 3 program, 4 verify; 0 when the
  // upgrade did not start (no image, or other firmware work under way).
  int stage = 0;
  // The flash was read back and is the image.
  bool verified = false;
  std::string message;
};

// What a front end shows of a firmware upgrade while it runs: the window its
// progress panel, pxraid a progress line. The step counter itself is
// FirmwareState::UpgradeProgress, which moves by one per good SPI step.
class UpgradeProgress {
 public:
  virtual ~UpgradeProgress() = default;
  // The upgrade starts; the counter starts at 0 and stays below `maximum`.
  virtual void Started(uint32_t maximum) = 0;
  // Stage `stage` of four begins: 1 test, 2 erase, 3 program, 4 verify.
  virtual void StageBegins(int stage) = 0;
  // The counter as a stage ends.
  virtual void StepsDone(uint32_t steps) = 0;
  // The upgrade is over, with `outcome`; its final box comes next.
  virtual void Finished(const UpgradeOutcome& outcome) = 0;
};

// For callers with nothing to show (a benchmark, the end-to-end guest).
class NoUpgradeProgress final : public UpgradeProgress {
 public:
  void Started(uint32_t) override {}
  void StageBegins(int) override {}
  void StepsDone(uint32_t) override {}
  void Finished(const UpgradeOutcome&) override {}
};

// The words the window has always shown for them: the panel's label while
// an upgrade runs, and its caption for each stage ("Process 2 / 4").
inline constexpr char kUpgradeLabel[] = "Firmware Update...";
inline std::string StageCaption(int stage) {
  return "Process " + std::to_string(stage) + " / 4";
}
// The stage a caption of StageCaption's names; nothing for any other text
// ("Backup").
inline std::optional<int> StageOfCaption(std::string_view caption) {
  for (int stage = 1; stage <= 4; ++stage) {
    if (caption == StageCaption(stage)) return stage;
  }
  return std::nullopt;
}

}  // namespace px
