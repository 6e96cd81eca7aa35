#include "device/recorder.h"

#include <stdexcept>
#include <type_traits>
#include <utility>

namespace px {

Recorder::Recorder(const std::filesystem::path& file, Transport& inner, Clock& clock,
                   std::string_view program, KeepReadData keep)
    : inner_(inner), keep_(std::move(keep)), out_(file), clock_(*this, clock) {
  if (!out_.Good()) throw std::runtime_error("cannot write the recording " + file.string());
  out_.Write(JsonLineText(RecordingHeader(program)) + '\n');
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

template <typename Call>
auto Recorder::Record(RecordedCall question, Call call) {
  const std::lock_guard lock(mutex_);
  auto answer = call();
  using Answer = decltype(answer);
  if constexpr (std::is_same_v<Answer, std::string> || std::is_same_v<Answer, bool>) {
    AddSoleAnswer(question, answer);
  } else {
    AddSoleAnswer(question, static_cast<int64_t>(answer));
  }
  Write(question);
  return answer;
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
  AddOutcomeAnswer(call, request, outcome, keep_);
  Write(call);
  return outcome;
}

void Recorder::Refresh() {
  const std::lock_guard lock(mutex_);
  inner_.Refresh();
  Write(RefreshQuestion());
}

uint32_t Recorder::LogicalDriveMask() {
  return Record(DriveLettersQuestion(), [this] { return inner_.LogicalDriveMask(); });
}

uint8_t Recorder::DriveType(char letter) {
  return Record(DriveTypeQuestion(letter), [&] { return inner_.DriveType(letter); });
}

std::optional<DiskExtent> Recorder::FirstExtent(DeviceHandle volume) {
  const std::lock_guard lock(mutex_);
  const auto extent = inner_.FirstExtent(volume);
  RecordedCall call = ExtentQuestion(PathOf(volume));
  AddExtentAnswer(call, extent);
  Write(call);
  return extent;
}

std::string Recorder::DriveNode(PhysicalDrive drive) {
  return Record(DriveNodeQuestion(drive), [&] { return inner_.DriveNode(drive); });
}

std::string Recorder::BridgeId(PhysicalDrive drive) {
  return Record(BridgeIdQuestion(drive), [&] { return inner_.BridgeId(drive); });
}

std::optional<DeniedDisk> Recorder::RefusedDisk() {
  const std::lock_guard lock(mutex_);
  const auto denied = inner_.RefusedDisk();
  RecordedCall call = RefusedDiskQuestion();
  AddRefusedDiskAnswer(call, denied);
  Write(call);
  return denied;
}

ClaimToken Recorder::TryClaimDrive(PhysicalDrive drive, ClaimPurpose purpose) {
  ClaimToken token = kClaimRefused;
  (void)Record(ClaimQuestion(drive, purpose), [&] {
    token = inner_.TryClaimDrive(drive, purpose);
    return token != kClaimRefused;
  });
  return token;
}

void Recorder::ReleaseDrive(ClaimToken token) {
  const std::lock_guard lock(mutex_);
  inner_.ReleaseDrive(token);
}

bool Recorder::DriveClaimedForFirmware(PhysicalDrive drive) {
  return Record(ClaimedForFirmwareQuestion(drive),
                [&] { return inner_.DriveClaimedForFirmware(drive); });
}

uint64_t Recorder::RecordingClock::TickMs() {
  uint64_t now = 0;
  (void)recorder_.Record(ClockQuestion(), [&] {
    now = inner_.TickMs();
    // Only differences of readings mean anything, and a recording that
    // starts at 0 says nothing about how long the machine has been up.
    if (!start_) start_ = now;
    return static_cast<int64_t>(now - *start_);
  });
  return now;
}

}  // namespace px
