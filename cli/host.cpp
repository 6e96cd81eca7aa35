#include "cli/host.h"

#include <charconv>
#include <chrono>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "cli/stop_signal.h"
#include "cli/virtual_scenarios.h"
#include "common/files.h"
#include "device/recorder.h"
#include "device/replayer.h"
#include "monitor/member_history.h"
#include "raid/recorded_reads.h"
#include "sim/fake_clock.h"
#include "sim/virtual_bus.h"

namespace px::cli {
namespace {

// Long waits are cut into slices so that Ctrl+C is answered at once.
constexpr uint32_t kWaitSliceMs = 100;

LogTime ParseStartTime(const std::string& text) {
  std::tm parts{};
  std::istringstream in(text);
  in >> std::get_time(&parts, "%Y-%m-%dT%H:%M:%S");
  if (in.fail() || in.peek() != std::char_traits<char>::eof()) {
    throw std::invalid_argument("start time '" + text + "' is not YYYY-MM-DDTHH:MM:SS");
  }
  return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
          parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

// Civil time arithmetic without a time zone: the simulated clock is local
// time already.
LogTime AddSeconds(const LogTime& time, uint64_t seconds) {
  using namespace std::chrono;
  const sys_days day{year{time.year} / month{static_cast<unsigned>(time.month)} /
                     std::chrono::day{static_cast<unsigned>(time.day)}};
  const sys_seconds moment = day + hours{time.hour} + minutes{time.minute} +
                             std::chrono::seconds{time.second} +
                             std::chrono::seconds{static_cast<int64_t>(seconds)};
  const sys_days newDay = floor<days>(moment);
  const year_month_day date{newDay};
  const hh_mm_ss clock{moment - newDay};
  return {static_cast<int>(date.year()),
          static_cast<int>(static_cast<unsigned>(date.month())),
          static_cast<int>(static_cast<unsigned>(date.day())),
          static_cast<int>(clock.hours().count()),
          static_cast<int>(clock.minutes().count()),
          static_cast<int>(clock.seconds().count())};
}

// The poll of "@POLL": a whole number from 0.
std::optional<int> PollNumber(const std::string& text) {
  int poll = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), poll);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || poll < 0) {
    return std::nullopt;
  }
  return poll;
}

std::string AccessAdvice(const std::string& what, const std::string& group) {
  return "No permission to open " + what +
         ": run pxraid as root, or give your user read/write access to it (e.g. add it to group " +
         group + " and log in again)";
}

}  // namespace

Host::Host(const GlobalOptions& options) : controlTrace_(options.controlTrace) {
  if (!options.simulateTime.empty()) {
    simulated_ = true;
    simulatedStart_ = ParseStartTime(options.simulateTime);
    fakeClock_ = std::make_unique<sim::FakeClock>();
    clock_ = fakeClock_.get();
  } else {
    realClock_ = std::make_unique<SteadyClock>();
    clock_ = realClock_.get();
  }
  if (!options.replay.empty()) {
    replayer_ = std::make_unique<Replayer>(options.replay, Replayer::Pauses::Simulated);
    replayer_->SetStopHandler(
        [](const std::string& reason) { throw std::runtime_error("replay: " + reason); });
    transport_ = replayer_.get();
    clock_ = &replayer_->clock();
    return;
  }
  if (!options.virtualScenario.empty()) {
    scenario_ = FindVirtualScenario(options.virtualScenario);
    if (scenario_ == nullptr) {
      throw std::invalid_argument("unknown virtual scenario '" + options.virtualScenario + "'");
    }
    bus_ = std::make_unique<sim::VirtualBus>(fakeClock_.get());
    scenario_->build(*bus_);
    bus_->SetRealReadLatencyMicros(options.readLatencyMicros);
    transport_ = bus_.get();
    for (const std::string& held : options.heldElsewhere) HoldElsewhere(held);
  } else {
    if (options.readLatencyMicros != 0) {
      throw std::invalid_argument("a read latency is for the virtual disks (--virtual)");
    }
    ownTransport_ = CreatePlatformTransport();
    transport_ = ownTransport_.get();
  }
  if (!options.record.empty()) {
    recorder_ = std::make_unique<Recorder>(options.record, *transport_, *clock_,
                                           "pxraid " PXRAID_VERSION, KeepReadInRecording);
    transport_ = recorder_.get();
    clock_ = &recorder_->clock();
  }
}

Host::~Host() {
  if (recorder_ && !recorder_->Complete()) {
    std::cerr << "pxraid: the recording ends early: a line could not be written" << std::endl;
  }
}

void Host::HoldElsewhere(const std::string& given) {
  const std::size_t at = given.find('@');
  const std::string held = given.substr(0, at);
  const std::size_t colon = held.find(':');
  const std::string number = held.substr(0, colon);
  const std::string purpose = colon == std::string::npos ? "" : held.substr(colon + 1);
  const std::optional<int> fromPoll =
      at == std::string::npos ? std::nullopt : PollNumber(given.substr(at + 1));
  if (number.size() != 1 || number[0] < '0' || number[0] > '9' ||
      (!purpose.empty() && purpose != "firmware") || (at != std::string::npos && !fromPoll)) {
    throw std::invalid_argument("held drive '" + given +
                                "' is not N or N:firmware, or one of them @POLL");
  }
  const PhysicalDrive drive(static_cast<uint32_t>(number[0] - '0'));
  const ClaimPurpose claim = purpose.empty() ? ClaimPurpose::Commands : ClaimPurpose::Firmware;
  if (fromPoll) {
    laterHolds_.push_back({*fromPoll, drive, claim});
  } else {
    // The claim stays with the bus for the whole run; nothing here lets go.
    (void)bus_->TryClaimDrive(drive, claim);
  }
}

void Host::BeforePoll(int poll) {
  if (scenario_ != nullptr) ApplyScriptSteps(*scenario_, *bus_, poll);
  for (const LaterHold& hold : laterHolds_) {
    if (hold.fromPoll == poll) (void)bus_->TryClaimDrive(hold.drive, hold.purpose);
  }
}

LogTime Host::Now() const {
  if (simulated_) return AddSeconds(simulatedStart_, simulatedMs_ / 1000);
  return LocalNow();
}

int64_t Host::UnixSeconds() const {
  using namespace std::chrono;
  if (simulated_) {
    const LogTime& t = simulatedStart_;
    const sys_days day{year{t.year} / month{static_cast<unsigned>(t.month)} /
                       std::chrono::day{static_cast<unsigned>(t.day)}};
    const sys_seconds start = day + hours{t.hour} + minutes{t.minute} + seconds{t.second};
    return start.time_since_epoch().count() + static_cast<int64_t>(simulatedMs_ / 1000);
  }
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

void Host::Wait(uint64_t ms) {
  if (simulated_) {
    simulatedMs_ += ms;
    fakeClock_->Advance(ms);
    return;
  }
  for (uint64_t waited = 0; waited < ms && !StopRequested();) {
    const auto slice = static_cast<uint32_t>(std::min<uint64_t>(kWaitSliceMs, ms - waited));
    clock_->SleepMs(slice);
    waited += slice;
  }
}

std::string Host::PermissionAdvice([[maybe_unused]] uint32_t physicalDriveCount) const {
  // Asked whatever the transport, so that a recording holds the answer its
  // replay is asked for.
  const auto denied = transport_->RefusedDisk();
  if (scenario_ != nullptr) {
    return scenario_->permissionDenied ? AccessAdvice("the virtual disks", "disk") : std::string();
  }
  if (denied) {
    return AccessAdvice(denied->node.empty() ? std::string("the disks") : denied->node,
                        denied->group);
  }
#ifdef _WIN32
  // Without elevation Windows lets no one open a physical drive, and every
  // machine has at least one.
  if (physicalDriveCount == 0) {
    return "No physical drive could be opened: run pxraid from a command prompt started as "
           "administrator";
  }
#endif
  return {};
}

std::string Host::DriveNode(PhysicalDrive drive) const {
  return transport_->DriveNode(drive);
}

std::string Host::EnclosureId(PhysicalDrive drive) const {
  return monitor::EnclosureId(*transport_, drive);
}

void Host::WriteControlTrace() const {
  if (controlTrace_.empty() || bus_ == nullptr) return;
  nlohmann::ordered_json writes = nlohmann::ordered_json::array();
  for (unsigned drive = 0; drive < sim::kBusDrives; ++drive) {
    const auto enclosure = bus_->EnclosureAt(drive);
    if (!enclosure) continue;
    for (const sim::ControlWrite& write : enclosure->ControlWrites()) {
      writes.push_back({{"drive", drive},
                        {"request", write.requestCode},
                        {"host_event", write.hostEvent},
                        {"signature_ok", write.signatureOk},
                        {"sum_ok", write.sumOk}});
    }
  }
  const std::string trace = nlohmann::ordered_json{{"control_writes", writes}}.dump(2) + '\n';
  if (ReplaceFileBytes(controlTrace_, trace, FileAccess::AsBefore, false)) {
    std::cerr << "pxraid: cannot write the control trace " << controlTrace_ << std::endl;
  }
}

}  // namespace px::cli
