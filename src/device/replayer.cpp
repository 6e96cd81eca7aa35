#include "device/replayer.h"

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace px {
namespace {

std::string TooLongText() {
  return "the line is longer than " + std::to_string(kMaxRecordingLine >> 20) +
         " MiB, which no recorded call is";
}

}  // namespace

Replayer::Replayer(const std::filesystem::path& file, Pauses pauses)
    : file_(file), in_(file), clock_(*this, pauses) {
  if (!in_) throw std::runtime_error("cannot read the recording " + file.string());
  std::string line;
  const LineRead read = ReadRecordingLine(in_, line);
  if (read == LineRead::End) {
    throw std::runtime_error(file.string() + " is empty: it is not a recording");
  }
  line_ = 1;
  if (read == LineRead::TooLong) throw std::runtime_error(Where() + TooLongText());
  std::string error;
  const auto header = RecordedCall::Parse(line, error);
  if (header) error = CheckRecordingHeader(*header);
  if (!error.empty()) throw std::runtime_error(Where() + error);
}

std::string Replayer::Where() const {
  return file_.string() + " line " + std::to_string(line_) + ": ";
}

void Replayer::SetStopHandler(StopHandler handler) {
  std::string reason;
  {
    const std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
    if (stopped_) reason = reason_;
  }
  Report(reason);
}

const RecordedCall* Replayer::Take(const RecordedCall& question, std::string& stopped,
                                   Recorded recorded) {
  if (stopped_) return nullptr;
  // Read as the replay goes: an upgrade's recording runs to a hundred
  // thousand lines, and a window can start at once.
  std::string line;
  LineRead read = LineRead::Line;
  if (readAhead_) {
    line = std::move(*readAhead_);
    readAhead_.reset();
  } else {
    read = ReadRecordingLine(in_, line);
    if (read != LineRead::End) ++line_;
  }
  if (read == LineRead::End && recorded == Recorded::SinceAsked) {
    return nullptr;
  } else if (read == LineRead::End) {
    stopped = "the recording " + file_.string() + " ends at line " + std::to_string(line_) +
              "; came " + Describe(question);
  } else if (read == LineRead::TooLong) {
    stopped = Where() + TooLongText();
  } else {
    std::string error;
    auto call = RecordedCall::Parse(line, error);
    if (!call) {
      stopped = Where() + error;
    } else if (!call->Text("call")) {
      stopped = Where() + "a call must say what it is (\"call\")";
    } else if (!call->Asks(question) && recorded == Recorded::SinceAsked) {
      readAhead_ = std::move(line);
      return nullptr;
    } else if (!call->Asks(question)) {
      stopped = Where() + DescribeDifference(*call, question);
    } else {
      current_ = std::move(*call);
      return &current_;
    }
  }
  Stop(stopped);
  return nullptr;
}

void Replayer::Stop(const std::string& reason) {
  stopped_ = true;
  reason_ = reason;
}

template <typename T, typename Read>
T Replayer::Answer(const RecordedCall& question, T ended, Read read, Recorded since) {
  std::string stopped;
  T answer = std::move(ended);
  {
    const std::lock_guard lock(mutex_);
    if (const RecordedCall* call = Take(question, stopped, since)) {
      if (auto recorded = read(*call)) {
        answer = std::move(*recorded);
      } else {
        stopped = Where() + "the recorded answer is incomplete";
        Stop(stopped);
      }
    }
  }
  Report(stopped);
  return answer;
}

void Replayer::Report(const std::string& reason) {
  if (reason.empty()) return;
  StopHandler handler;
  {
    const std::lock_guard lock(mutex_);
    handler = handler_;
  }
  if (handler) handler(reason);
}

std::optional<DevicePath> Replayer::PathOf(DeviceHandle handle) const {
  const auto open = open_.find(handle);
  if (open == open_.end()) return std::nullopt;
  return open->second;
}

OpenResult Replayer::Open(const DevicePath& path) {
  return Answer(OpenQuestion(path), OpenResult{}, [&](const RecordedCall& call) {
    auto result = OpenAnswer(call);
    if (result && result->status == OpenStatus::Opened) {
      result->handle = nextHandle_++;
      open_[result->handle] = path;
    }
    return result;
  });
}

void Replayer::Close(DeviceHandle handle) {
  const std::lock_guard lock(mutex_);
  open_.erase(handle);
}

CommandOutcome Replayer::Execute(DeviceHandle handle, const ScsiRequest& request) {
  std::optional<DevicePath> on;
  {
    const std::lock_guard lock(mutex_);
    on = PathOf(handle);
  }
  return Answer(ExecuteQuestion(on, request), CommandOutcome{},
                [&](const RecordedCall& call) { return OutcomeAnswer(call, request); });
}

void Replayer::Refresh() {
  (void)Answer(RefreshQuestion(), false,
               [](const RecordedCall&) { return std::optional<bool>(true); });
}

uint32_t Replayer::LogicalDriveMask() {
  return Answer(DriveLettersQuestion(), uint32_t{0}, [](const RecordedCall& call) {
    const auto mask = call.Number(kLettersKey);
    return mask ? std::optional<uint32_t>(static_cast<uint32_t>(*mask)) : std::nullopt;
  });
}

uint8_t Replayer::DriveType(char letter) {
  return Answer(DriveTypeQuestion(letter), kDriveNoRootDir, [](const RecordedCall& call) {
    const auto type = call.Number(kTypeKey);
    return type ? std::optional<uint8_t>(static_cast<uint8_t>(*type)) : std::nullopt;
  });
}

std::optional<DiskExtent> Replayer::FirstExtent(DeviceHandle volume) {
  std::optional<DevicePath> on;
  {
    const std::lock_guard lock(mutex_);
    on = PathOf(volume);
  }
  return Answer(ExtentQuestion(on), std::optional<DiskExtent>(), ExtentAnswer);
}

std::string Replayer::DriveNode(unsigned drive) {
  return Answer(DriveNodeQuestion(drive), std::string(),
                [](const RecordedCall& call) { return call.Text(kNodeKey); });
}

std::string Replayer::BridgeId(unsigned drive) {
  // Recordings older than the question have no answer to it: for them the
  // host could not tell.
  return Answer(
      BridgeIdQuestion(drive), std::string(),
      [](const RecordedCall& call) { return call.Text(kIdKey); }, Recorded::SinceAsked);
}

std::optional<DeniedDisk> Replayer::RefusedDisk() {
  return Answer(RefusedDiskQuestion(), std::optional<DeniedDisk>(), RefusedDiskAnswer);
}

ClaimToken Replayer::TryClaimDrive(unsigned drive, ClaimPurpose purpose) {
  const bool granted = Answer(ClaimQuestion(drive, purpose), true,
                              [](const RecordedCall& call) { return call.Flag(kGrantedKey); });
  if (!granted) return kClaimRefused;
  const std::lock_guard lock(mutex_);
  return nextClaim_++;
}

void Replayer::ReleaseDrive(ClaimToken /*token*/) {}

bool Replayer::DriveClaimedForFirmware(unsigned drive) {
  return Answer(ClaimedForFirmwareQuestion(drive), false,
                [](const RecordedCall& call) { return call.Flag(kFirmwareKey); });
}

uint64_t Replayer::ReplayClock::TickMs() {
  (void)replayer_.Answer(ClockQuestion(), false, [this](const RecordedCall& call) {
    const auto ms = call.Number(kMillisecondsKey);
    if (ms) replayer_.lastMs_ = static_cast<uint64_t>(*ms);
    return ms ? std::optional<bool>(true) : std::nullopt;
  });
  const std::lock_guard lock(replayer_.mutex_);
  return replayer_.lastMs_;
}

void Replayer::ReplayClock::SleepMs(uint32_t ms) {
  {
    // Past the recording, time is what the program waited for since.
    const std::lock_guard lock(replayer_.mutex_);
    if (replayer_.stopped_) replayer_.lastMs_ += ms;
  }
  if (pauses_ == Pauses::Real) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  } else {
    std::this_thread::yield();
  }
}

}  // namespace px
