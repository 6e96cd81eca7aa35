#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "common/clock.h"
#include "device/recorded_calls.h"
#include "device/transport.h"

namespace px {

// Plays a recording back (see recorded_calls.h): answers every call, and every
// reading of its clock(), from the recording, in the order recorded. A call
// that differs from the one recorded next is refused: the replay stops
// there, and the stop handler is told what the recording expected and what
// came. So does a call after the last recorded one. A stopped replay has no
// drives and no letters, refuses every open and command and grants every
// claim, so that nothing in the program waits for it; its clock goes on by
// the pauses taken on it.
class Replayer final : public Transport {
 public:
  // Simulated pauses cost no time (a command-line replay runs as fast as it
  // can); real ones sleep, for the window, whose worker threads pace
  // themselves with them.
  enum class Pauses { Simulated, Real };

  // Opens the recording; std::runtime_error naming the file when it cannot
  // be read or does not begin as a recording. A later line that cannot be
  // read stops the replay when it is reached.
  Replayer(const std::filesystem::path& file, Pauses pauses);
  Replayer(const Replayer&) = delete;
  Replayer& operator=(const Replayer&) = delete;

  Clock& clock() { return clock_; }

  // Called once, on the thread whose call stopped the replay and outside
  // any lock, with the reason; it may throw to end the run there. Set after
  // the replay stopped, it is called at once.
  using StopHandler = std::function<void(const std::string& reason)>;
  void SetStopHandler(StopHandler handler);

  OpenResult Open(const DevicePath& path) override;
  void Close(DeviceHandle handle) override;
  CommandOutcome Execute(DeviceHandle handle, const ScsiRequest& request) override;
  void Refresh() override;
  uint32_t LogicalDriveMask() override;
  uint8_t DriveType(char letter) override;
  std::optional<DiskExtent> FirstExtent(DeviceHandle volume) override;
  std::string DriveNode(PhysicalDrive drive) override;
  std::string BridgeId(PhysicalDrive drive) override;
  std::optional<DeniedDisk> RefusedDisk() override;
  ClaimToken TryClaimDrive(PhysicalDrive drive, ClaimPurpose purpose) override;
  void ReleaseDrive(ClaimToken token) override;
  bool DriveClaimedForFirmware(PhysicalDrive drive) override;

 private:
  class ReplayClock final : public Clock {
   public:
    ReplayClock(Replayer& replayer, Pauses pauses) : replayer_(replayer), pauses_(pauses) {}
    uint64_t TickMs() override;
    void SleepMs(uint32_t ms) override;

   private:
    Replayer& replayer_;
    Pauses pauses_;
  };

  // What the recording answers to `question`: `read` (called under the
  // lock) takes the answer from the recorded call, whose fields are all
  // there by then; `ended` is the answer of a stopped replay, of one that
  // stops here, and of an older recording without the answer to a question
  // its row says is recorded only since it was asked.
  template <typename T, typename Read>
  T Answer(const RecordedCall& question, T ended, Read read);
  // The same for a question whose answer is one value.
  template <typename T>
  T SoleAnswer(const RecordedCall& question, T ended);
  // The recorded call that answers `question`, taken; nothing when the
  // replay has stopped or stops here (with `stopped` set to the reason), or
  // when a question recorded only since it was asked finds another call,
  // which is kept for the next question.
  const RecordedCall* Take(const RecordedCall& question, std::string& stopped);
  void Stop(const std::string& reason);
  // Tells the handler, outside the lock, when `reason` is set.
  void Report(const std::string& reason);
  std::optional<DevicePath> PathOf(DeviceHandle handle) const;
  // "FILE line N: " of the line read last.
  std::string Where() const;

  std::filesystem::path file_;
  mutable std::mutex mutex_;
  std::ifstream in_;
  std::size_t line_ = 0;
  // A line that did not answer a question recorded only since asked; the next
  // Take starts from it.
  std::optional<std::string> readAhead_;
  RecordedCall current_;
  bool stopped_ = false;
  std::string reason_;
  StopHandler handler_;
  std::map<DeviceHandle, DevicePath> open_;
  DeviceHandle nextHandle_ = 1;
  ClaimToken nextClaim_ = 1;
  uint64_t lastMs_ = 0;
  ReplayClock clock_;
};

}  // namespace px
