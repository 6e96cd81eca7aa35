#include "device/replayer.h"

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <type_traits>

#include "device/call_texts.h"

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
  const auto header = ParseJsonLine(line, error);
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

const RecordedCall* Replayer::Take(const RecordedCall& question, std::string& stopped) {
  if (stopped_) return nullptr;
  const bool sinceAsked = question.spec() != nullptr && question.spec()->sinceAsked;
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
  if (read == LineRead::End && sinceAsked) {
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
    } else if (!FirstDifference(*call, question)) {
      current_ = std::move(*call);
      return &current_;
    } else if (sinceAsked) {
      readAhead_ = std::move(line);
      return nullptr;
    } else {
      stopped = Where() + DescribeDifference(*call, question);
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
T Replayer::Answer(const RecordedCall& question, T ended, Read read) {
  std::string stopped;
  T answer = std::move(ended);
  {
    const std::lock_guard lock(mutex_);
    if (const RecordedCall* call = Take(question, stopped)) {
      std::optional<T> recorded;
      if (AnswerComplete(*call)) recorded = read(*call);
      if (recorded) {
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

template <typename T>
T Replayer::SoleAnswer(const RecordedCall& question, T ended) {
  return Answer(question, std::move(ended), [](const RecordedCall& call) -> std::optional<T> {
    const JsonValue* value = px::SoleAnswer(call);
    if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, bool>) {
      return std::get<T>(*value);
    } else {
      return static_cast<T>(std::get<int64_t>(*value));
    }
  });
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
  return SoleAnswer(DriveLettersQuestion(), uint32_t{0});
}

uint8_t Replayer::DriveType(char letter) {
  return SoleAnswer(DriveTypeQuestion(letter), kDriveNoRootDir);
}

std::optional<DiskExtent> Replayer::FirstExtent(DeviceHandle volume) {
  std::optional<DevicePath> on;
  {
    const std::lock_guard lock(mutex_);
    on = PathOf(volume);
  }
  return Answer(ExtentQuestion(on), std::optional<DiskExtent>(), ExtentAnswer);
}

std::string Replayer::DriveNode(PhysicalDrive drive) {
  return SoleAnswer(DriveNodeQuestion(drive), std::string());
}

std::string Replayer::BridgeId(PhysicalDrive drive) {
  // Recordings older than the question have no answer to it: for them the
  // host could not tell.
  return SoleAnswer(BridgeIdQuestion(drive), std::string());
}

std::optional<DeniedDisk> Replayer::RefusedDisk() {
  return Answer(RefusedDiskQuestion(), std::optional<DeniedDisk>(), RefusedDiskAnswer);
}

ClaimToken Replayer::TryClaimDrive(PhysicalDrive drive, ClaimPurpose purpose) {
  const bool granted = SoleAnswer(ClaimQuestion(drive, purpose), true);
  if (!granted) return kClaimRefused;
  const std::lock_guard lock(mutex_);
  return nextClaim_++;
}

void Replayer::ReleaseDrive(ClaimToken /*token*/) {}

bool Replayer::DriveClaimedForFirmware(PhysicalDrive drive) {
  return SoleAnswer(ClaimedForFirmwareQuestion(drive), false);
}

uint64_t Replayer::ReplayClock::TickMs() {
  (void)replayer_.Answer(ClockQuestion(), false, [this](const RecordedCall& call) {
    replayer_.lastMs_ = static_cast<uint64_t>(std::get<int64_t>(*px::SoleAnswer(call)));
    return std::optional<bool>(true);
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
