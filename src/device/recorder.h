#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>

#include "common/clock.h"
#include "common/files.h"
#include "device/recorded_calls.h"
#include "device/transport.h"

namespace px {

// Passes every call on to the transport it wraps and writes it, with its
// answer, to a recording (see recorded_calls.h); its clock() does the same
// for every reading of the session's clock. Each line is handed to the
// system before the call returns, so a session that crashes is recorded up
// to the crash.
//
// A call and its line are one step under one lock: the lines are in the
// order the calls were made, whichever thread made them, which is the order
// a replay must see them in.
class Recorder final : public Transport {
 public:
  // Starts `file` afresh; std::runtime_error when it cannot be written.
  // `keep` says which data read the recording keeps: what the program looks
  // at, which the front end takes from the layer that knows
  // (KeepReadInRecording in src/raid).
  Recorder(const std::filesystem::path& file, Transport& inner, Clock& clock,
           std::string_view program, KeepReadData keep);
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // The session's clock, recorded. Only readings are: a pause has no answer
  // to give back.
  Clock& clock() { return clock_; }
  // False once a line could not be written (a full disk): the recording
  // ends before the session did.
  bool Complete() const;

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
  class RecordingClock final : public Clock {
   public:
    RecordingClock(Recorder& recorder, Clock& inner) : recorder_(recorder), inner_(inner) {}
    uint64_t TickMs() override;
    void SleepMs(uint32_t ms) override { inner_.SleepMs(ms); }

   private:
    Recorder& recorder_;
    Clock& inner_;
    std::optional<uint64_t> start_;  // under the recorder's lock
  };

  // Under the lock.
  void Write(const RecordedCall& call);
  // Runs `call` on the inner transport and writes `question` with its
  // answer, which is one value.
  template <typename Call>
  auto Record(RecordedCall question, Call call);
  std::optional<DevicePath> PathOf(DeviceHandle handle) const;

  Transport& inner_;
  const KeepReadData keep_;
  mutable std::mutex mutex_;
  OutputFile out_;
  std::map<DeviceHandle, DevicePath> open_;
  RecordingClock clock_;
};

}  // namespace px
