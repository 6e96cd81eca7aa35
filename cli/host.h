#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/clock.h"
#include "device/transport.h"
#include "eventlog/log_time.h"

namespace px {
class Recorder;
class Replayer;
}  // namespace px

namespace px::sim {
class FakeClock;
class VirtualBus;
}  // namespace px::sim

namespace px::cli {

struct VirtualScenario;

// The options every command shares.
struct GlobalOptions {
  // A set-up of the virtual bus; empty for this machine's own disks.
  std::string virtualScenario;
  // Where to record the session (every device call and clock reading), and
  // a recording to replay instead of talking to any disk; empty for none.
  std::string record;
  std::string replay;
  // The rest is only for tests, which give it through hidden options of
  // pxraid-test (not pxraid's) or of pxraidd.
  // The local date and time the run starts at (2026-12-07T10:00:00).
  // Device waits then cost no wall time, and the clock of the log moves only
  // by the monitor's intervals.
  std::string simulateTime;
  // Under --virtual, where to write at exit what the virtual controllers
  // were told through their control sector.
  std::string controlTrace;
  // Under --virtual, physical drives that another program holds, as "N" or
  // "N:firmware": for the whole run, or with "@P" after it from status poll
  // P on (0 is the first after discovery), when the drive has been found.
  std::vector<std::string> heldElsewhere;
  // Under --virtual, every read of the virtual disks really takes this long
  // (microseconds), so that a whole process can be caught in the middle of a
  // firmware upgrade.
  uint32_t readLatencyMicros = 0;
};

// Where a command finds its disks and its time: the machine's own disks and
// clock, or the virtual bus with either clock, either of them recorded; or
// a recording played back, whose clock is the recorded one.
class Host {
 public:
  // The scenario name must be one of VirtualScenarioNames(); the start time,
  // when given, in the form above (std::invalid_argument otherwise). A
  // recording that cannot be written or read is std::runtime_error. A
  // replay that differs from its recording throws std::runtime_error from
  // the call that differs, which ends the command there.
  explicit Host(const GlobalOptions& options);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  Transport& transport() { return *transport_; }
  Clock& clock() { return *clock_; }
  bool IsVirtual() const { return bus_ != nullptr; }
  // A recording is being made or played back: one sequence of calls, in the
  // order they were made, which commands on several threads would shuffle.
  bool IsRecordedSession() const { return recorder_ != nullptr || replayer_ != nullptr; }

  // A scripted scenario makes the changes due before this status poll, and
  // the drives held elsewhere from this poll on are taken.
  void BeforePoll(int poll);

  // The local date and time that log lines carry.
  LogTime Now() const;
  // Seconds since the epoch, for metrics and the pacing of mail. Simulated,
  // the start time counts as UTC and moves on with the waits.
  int64_t UnixSeconds() const;
  // Waits up to `ms`, returning early once a stop is requested. Simulated,
  // it costs nothing and moves the log's clock on.
  void Wait(uint64_t ms);

  // When disks exist that the user may not open, what to do about it;
  // empty otherwise. physicalDriveCount is how many drives opened.
  std::string PermissionAdvice(uint32_t physicalDriveCount) const;
  // The node of physical drive n on this machine ("/dev/sdb"); empty where
  // the number is all there is.
  std::string DriveNode(PhysicalDrive drive) const;
  // What the history keeps the enclosure at `drive` under: its bridge's id,
  // or "drive-N" where the host cannot tell one (it then follows the drive
  // number, which a replug may change).
  std::string EnclosureId(PhysicalDrive drive) const;

  // Writes the control-sector trace when one was asked for.
  void WriteControlTrace() const;

 private:
  void HoldElsewhere(const std::string& given);

  struct LaterHold {
    int fromPoll;
    PhysicalDrive drive;
    ClaimPurpose purpose;
  };

  std::unique_ptr<sim::FakeClock> fakeClock_;
  std::unique_ptr<Clock> realClock_;
  Clock* clock_ = nullptr;
  std::unique_ptr<sim::VirtualBus> bus_;
  std::unique_ptr<Transport> ownTransport_;
  std::unique_ptr<Recorder> recorder_;
  std::unique_ptr<Replayer> replayer_;
  Transport* transport_ = nullptr;
  const VirtualScenario* scenario_ = nullptr;
  std::vector<LaterHold> laterHolds_;
  std::string controlTrace_;
  bool simulated_ = false;
  LogTime simulatedStart_;
  uint64_t simulatedMs_ = 0;
};

}  // namespace px::cli
