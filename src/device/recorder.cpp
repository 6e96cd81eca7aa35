#include "device/recorder.h"

#include <stdexcept>

namespace px {

Recorder::Recorder(const std::filesystem::path& file, Transport& inner, Clock& clock,
                   std::string_view program)
    : inner_(inner), out_(file), clock_(*this, clock) {
  if (!out_.Good()) throw std::runtime_error("cannot write the recording " + file.string());
  Write(RecordingHeader(program));
}

bool Recorder::Complete() const {
  const std::lock_guard lock(mutex_);
  return out_.Good();
}

void Recorder::Write(const RecordedCall& call) {
  // A recording that can no longer be written must not change what the
  // program does; Complete() tells the front end afterwards.
  out_.Write(call.Line() + '\n');
}

std::optional<DevicePath> Recorder::PathOf(DeviceHandle handle) const {
  const auto open = open_.find(handle);
  if (open == open_.end()) return std::nullopt;
  return open->second;
}

OpenResult Recorder::Open(const DevicePath& path) {
  const std::lock_guard lock(mutex_);
  const OpenResult result = inner_.Open(path);
  if (result.opened()) open_[result.handle] = path;
  RecordedCall call = OpenQuestion(path);
  AddOpenAnswer(call, result);
  Write(call);
  return result;
}

void Recorder::Close(DeviceHandle handle) {
  const std::lock_guard lock(mutex_);
  open_.erase(handle);
  inner_.Close(handle);
}

CommandOutcome Recorder::Execute(DeviceHandle handle, const ScsiRequest& request) {
  const std::lock_guard lock(mutex_);
  RecordedCall call = ExecuteQuestion(PathOf(handle), request);
  const CommandOutcome outcome = inner_.Execute(handle, request);
  AddOutcomeAnswer(call, request, outcome);
  Write(call);
  return outcome;
}

void Recorder::Refresh() {
  const std::lock_guard lock(mutex_);
  inner_.Refresh();
  Write(RefreshQuestion());
}

uint32_t Recorder::LogicalDriveMask() {
  const std::lock_guard lock(mutex_);
  const uint32_t mask = inner_.LogicalDriveMask();
  Write(DriveLettersQuestion().AddNumber(kLettersKey, mask));
  return mask;
}

uint8_t Recorder::DriveType(char letter) {
  const std::lock_guard lock(mutex_);
  const uint8_t type = inner_.DriveType(letter);
  Write(DriveTypeQuestion(letter).AddNumber(kTypeKey, type));
  return type;
}

std::optional<DiskExtent> Recorder::FirstExtent(DeviceHandle volume) {
  const std::lock_guard lock(mutex_);
  const auto extent = inner_.FirstExtent(volume);
  RecordedCall call = ExtentQuestion(PathOf(volume));
  AddExtentAnswer(call, extent);
  Write(call);
  return extent;
}

std::string Recorder::DriveNode(unsigned drive) {
  const std::lock_guard lock(mutex_);
  std::string node = inner_.DriveNode(drive);
  Write(DriveNodeQuestion(drive).AddText(kNodeKey, node));
  return node;
}

std::string Recorder::BridgeId(unsigned drive) {
  const std::lock_guard lock(mutex_);
  std::string id = inner_.BridgeId(drive);
  Write(BridgeIdQuestion(drive).AddText(kIdKey, id));
  return id;
}

std::optional<DeniedDisk> Recorder::RefusedDisk() {
  const std::lock_guard lock(mutex_);
  const auto denied = inner_.RefusedDisk();
  RecordedCall call = RefusedDiskQuestion();
  AddRefusedDiskAnswer(call, denied);
  Write(call);
  return denied;
}

ClaimToken Recorder::TryClaimDrive(unsigned drive, ClaimPurpose purpose) {
  const std::lock_guard lock(mutex_);
  const ClaimToken token = inner_.TryClaimDrive(drive, purpose);
  Write(ClaimQuestion(drive, purpose).AddFlag(kGrantedKey, token != kClaimRefused));
  return token;
}

void Recorder::ReleaseDrive(ClaimToken token) {
  const std::lock_guard lock(mutex_);
  inner_.ReleaseDrive(token);
}

bool Recorder::DriveClaimedForFirmware(unsigned drive) {
  const std::lock_guard lock(mutex_);
  const bool firmware = inner_.DriveClaimedForFirmware(drive);
  Write(ClaimedForFirmwareQuestion(drive).AddFlag(kFirmwareKey, firmware));
  return firmware;
}

uint64_t Recorder::RecordingClock::TickMs() {
  const std::lock_guard lock(recorder_.mutex_);
  const uint64_t now = inner_.TickMs();
  // Only differences of readings mean anything, and a recording that starts
  // at 0 says nothing about how long the machine has been up.
  if (!start_) start_ = now;
  recorder_.Write(ClockQuestion().AddNumber(kMillisecondsKey, static_cast<int64_t>(now - *start_)));
  return now;
}

}  // namespace px
