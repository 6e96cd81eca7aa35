#pragma once

#include <cstdint>
#include <optional>

#include "raid/discovery.h"
#include "raid/monitor.h"

namespace px {

class Core;

// What taking a detection's results came to, for the front end to show.
struct Detected {
  // What the detection found; `found.enclosures` is the count.
  DetectionReport found;
  // The count as the detection before this one left it.
  uint32_t previousCount = 0;
  // The enclosures were found again after the start with another count: the
  // next poll writes the restart block.
  bool redetected = false;
  // The last enclosure went while monitoring ran: "D1 Device was removed at"
  // is queued for the log.
  bool removalLogged = false;

  bool Changed() const { return found.enclosures != previousCount; }
};

// What one tick of the drive watch came to.
struct WatchStep {
  enum class Kind : uint8_t {
    Idle,          // nothing to do
    CountingDown,  // a device change is being waited out
    Postponed,     // the countdown is over, but a poll or firmware work goes first
    Unchanged,     // the drives were counted again and are as they were
    Requested,     // a detection was asked for
    Detecting,     // one runs
    Detected,      // one finished; `detected` says what it found
  };
  Kind kind = Kind::Idle;
  std::optional<Detected> detected;
};

// How a front end greets the controllers with the host event "found".
enum class Greeting : uint8_t {
  // When a detection is laid out while nothing has been shown yet, to the
  // device whose page is in front: the window's way.
  OnFirstLayout,
  // Once, to every enclosure that answered the first poll that reached any:
  // pxraid monitor's way, which has no page in front.
  OnFirstAnswer,
};

// One monitoring session over the core: what happens when the host's disks
// change (the countdown, the recount, the detection and the re-detection,
// the removal line), the host events, and when a poll may run. The window's
// timers drive it with a detection thread doing the detecting; pxraid
// monitor drives it from a plain loop, detecting on its own thread. Either
// way the session decides, and the front end shows what it returns.
class MonitoringSession {
 public:
  // Ticks of 500 ms: a device change is looked at on the fifth tick after
  // its last message, 2 to 2.5 s later, once the host has settled.
  static constexpr uint8_t kCountdownStart = 16;
  static constexpr uint8_t kCountdownFire = 20;
  // While nothing is known, or a drive could not be probed because another
  // program held it, a detection is asked for every seventh tick.
  static constexpr uint8_t kLookAgainTicks = 5;

  MonitoringSession(Core& core, Greeting greeting);

  // The host's disks changed: the countdown starts again.
  void DevicesChanged() { countdown_ = kCountdownStart; }
  // A device change is being counted down: polls wait for it.
  bool DrivesChanging() const { return countdown_ != 0; }
  uint8_t Countdown() const { return countdown_; }
  // How many enclosures the last detection laid out.
  uint32_t LaidOutCount() const { return previousCount_; }

  // The first detection, asked for before the front end's threads start.
  void RequestFirstDetection();
  // One tick of the drive watch, with a detection thread doing the detecting.
  // `monitoring`: the user has monitoring running.
  WatchStep Tick(bool monitoring);

  // Front ends without a device-change message or a detection thread: a
  // whole detection on the calling thread.
  Detected DetectNow(const ProbeOptions& probing);
  // Before a poll, the host is looked at again (a few opens, no command) and
  // the enclosures are found again when the number of drive letters or of
  // drives that open differs from the last detection's, or when that
  // detection could not probe a drive that another program held. Nothing
  // when nothing was detected.
  std::optional<Detected> LookAgain(const ProbeOptions& probing);

  // A poll may be raised: no device change is counted down, no drive is
  // being probed, no poll runs and the front end is not closing.
  bool PollMayStart() const;
  // Serves the most urgent request, with control writes going to `target`;
  // nothing when a detection is pending, nothing is asked, or the front end
  // closes.
  std::optional<MonitorResult> Serve(MonitorClient& client, ControlTarget target);
  // One poll now, served at once (a front end without a request loop).
  PollReport Poll(MonitorClient& client);
  // Tells the enclosures in `slots` (bit i: slot i) about the host, each in
  // turn.
  void SendHostEvent(MonitorClient& client, uint8_t event, uint32_t slots);
  // pxraid monitor's greeting: the first poll that reached any enclosure
  // tells those that answered that the host found them.
  void AfterPoll(MonitorClient& client, const PollReport& report);

 private:
  // The session's part of laying out a detection's results.
  Detected TakeDetection(const DetectionReport& found, bool monitoring);

  Core& core_;
  Greeting greeting_;
  uint8_t countdown_ = 0;
  uint8_t noDeviceTicks_ = 0;
  uint32_t previousCount_ = 0;
  bool greeted_ = false;
};

}  // namespace px
