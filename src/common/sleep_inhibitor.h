#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace px {

// Keeps the machine from sleeping (and, where the system lets a program ask,
// from shutting down) while work runs that must not be cut short: a
// controller whose flash is half erased when the host goes to sleep may
// never boot again.
class SleepInhibitor {
 public:
  virtual ~SleepInhibitor() = default;
  // Holds sleep off until Release, telling the system why. The work goes on
  // whatever the system answers; where it cannot be asked, the
  // implementation tells the user.
  virtual void Acquire(std::string_view why) = 0;
  // Harmless when nothing is held.
  virtual void Release() = 0;
};

// Holds an inhibitor for one scope, so every way out of it releases.
class KeepAwake {
 public:
  KeepAwake(SleepInhibitor& inhibitor, std::string_view why) : inhibitor_(inhibitor) {
    inhibitor_.Acquire(why);
  }
  ~KeepAwake() { inhibitor_.Release(); }
  KeepAwake(const KeepAwake&) = delete;
  KeepAwake& operator=(const KeepAwake&) = delete;

 private:
  SleepInhibitor& inhibitor_;
};

// Where there is no machine worth keeping awake (a benchmark on the virtual
// enclosure, the guest of the end-to-end run): nothing is asked.
class NoSleepInhibitor final : public SleepInhibitor {
 public:
  void Acquire(std::string_view) override {}
  void Release() override {}
};

// A front end's way of telling its user something in passing, without
// stopping the work: pxraid writes a line on standard error, the window its
// message panel.
using Notice = std::function<void(std::string_view text)>;

// Tells the user that sleep is not held off, the first time only: once is
// enough to know it, and a machine without the service would otherwise hear
// it at every upgrade.
class SleepNotHeldNotice {
 public:
  explicit SleepNotHeldNotice(Notice notice) : notice_(std::move(notice)) {}
  void Tell(std::string_view why, std::string_view reason);

 private:
  Notice notice_;
  bool told_ = false;
};

// A build without a way to ask the system: the user hears that once, with
// `reason`.
class UnaskedSleepInhibitor final : public SleepInhibitor {
 public:
  UnaskedSleepInhibitor(Notice notice, std::string reason)
      : notice_(std::move(notice)), reason_(std::move(reason)) {}
  void Acquire(std::string_view why) override { notice_.Tell(why, reason_); }
  void Release() override {}

 private:
  SleepNotHeldNotice notice_;
  std::string reason_;
};

}  // namespace px
