// Recording and replay. A line the parser takes is one the writer writes
// back to the same fields, and the same text again. Any session through the
// Recorder, whatever the devices answered (texts that are no UTF-8, numbers
// to the ends of their range, sense and data of any bytes), replays to the
// same answers call by call, with the data read kept where the RAID layer's
// rule keeps it (fuzz/reference.* says the rule again) and zeros where it
// does not; a replay asked one command with another CDB stops at that
// command's line, and one asked a call past the end says where the
// recording ends.
//
// Input: a line to parse (a length byte, then that many bytes); a byte whose
// bit 0 makes the replay ask one command otherwise (the next byte says
// which command, the one after which CDB byte changes); then steps until
// the input ends, a step byte's value modulo 13 saying which call: 0 open
// (drive or letter, status, error), 1 close, 2 execute (handle, CDB,
// direction, length, time-out, data out or in, whether that data carries a
// reply signature, the outcome), 3 extent, 4 refresh, 5 letters, 6 drive
// type, 7 drive node, 8 bridge id, 9 refused disk, 10 claim, 11 claimed for
// firmware, 12 a clock reading.

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "device/json_line.h"
#include "device/recorded_calls.h"
#include "device/recorder.h"
#include "device/replayer.h"
#include "raid/recorded_reads.h"
#include "reference.h"
#include "support.h"

namespace px::fuzz {
namespace {

constexpr uint8_t kSentinel = 0xEE;
constexpr uint32_t kLengths[] = {0, 1, 36, 512, 1024};

// The devices behind the Recorder: each call answers what the step set.
class Scripted final : public Transport {
 public:
  OpenResult open;
  CommandOutcome outcome;
  std::vector<uint8_t> in;
  std::optional<DiskExtent> extent;
  uint32_t mask = 0;
  uint8_t type = 0;
  std::string text;
  std::optional<DeniedDisk> denied;
  bool flag = false;

  OpenResult Open(const DevicePath&) override { return open; }
  void Close(DeviceHandle) override {}
  CommandOutcome Execute(DeviceHandle, const ScsiRequest& request) override {
    if (request.direction == DataDirection::In && request.data != nullptr) {
      std::copy_n(in.begin(), request.transferLength, request.data);
    }
    return outcome;
  }
  void Refresh() override {}
  uint32_t LogicalDriveMask() override { return mask; }
  uint8_t DriveType(char) override { return type; }
  std::optional<DiskExtent> FirstExtent(DeviceHandle) override { return extent; }
  std::string DriveNode(PhysicalDrive) override { return text; }
  std::string BridgeId(PhysicalDrive) override { return text; }
  std::optional<DeniedDisk> RefusedDisk() override { return denied; }
  ClaimToken TryClaimDrive(PhysicalDrive, ClaimPurpose) override {
    return flag ? 1 : kClaimRefused;
  }
  void ReleaseDrive(ClaimToken) override {}
  bool DriveClaimedForFirmware(PhysicalDrive) override { return flag; }
};

class ScriptedClock final : public Clock {
 public:
  uint64_t now = 0;
  uint64_t TickMs() override { return now; }
  void SleepMs(uint32_t) override {}
};

struct Step {
  uint8_t call = 0;
  DevicePath path;
  std::size_t handle = 0;  // which opened handle; past the last: one never opened
  PhysicalDrive drive{0};
  char letter = 'A';
  ClaimPurpose purpose = ClaimPurpose::Commands;
  ScsiRequest request;
  std::vector<uint8_t> out;  // data sent, or (direction in) the devices' data
  Scripted answer;
  uint64_t now = 0;
};

uint64_t Number64(Input& input) {
  const uint64_t high = input.U32();
  return high << 32 | input.U32();
}

Step ReadStep(Input& input) {
  Step s;
  s.call = static_cast<uint8_t>(input.Byte() % 13);
  const uint8_t where = input.Byte();
  s.path = where < 0x80
               ? DevicePath{DevicePath::Kind::PhysicalDrive, PhysicalDrive(where % 12u), 0}
               : DevicePath{DevicePath::Kind::Volume, PhysicalDrive(0), static_cast<char>(where)};
  s.handle = where;
  s.drive = PhysicalDrive(input.U32());
  s.letter = static_cast<char>(input.Byte());
  s.purpose = input.Flag() ? ClaimPurpose::Firmware : ClaimPurpose::Commands;
  Scripted& a = s.answer;
  switch (s.call) {
    case 0: {
      a.open.status = static_cast<OpenStatus>(input.Byte() % 5);
      a.open.osError = static_cast<int32_t>(input.U32());
      a.open.handle = a.open.status == OpenStatus::Opened ? 100 : kInvalidHandle;
      break;
    }
    case 2: {
      ScsiRequest& r = s.request;
      r.cdbLength = static_cast<uint8_t>(6 + input.Byte() % 11);
      const auto cdb = input.Bytes(r.cdbLength);
      std::copy(cdb.begin(), cdb.end(), r.cdb.begin());
      r.direction = input.Flag() ? DataDirection::Out : DataDirection::In;
      r.transferLength = kLengths[input.Byte() % std::size(kLengths)];
      r.timeoutSeconds = input.U32();
      const auto data = input.Bytes(r.transferLength);
      s.out.assign(data.begin(), data.end());
      s.out.resize(r.transferLength);
      const uint8_t signature = input.Byte() % 4;
      if (s.out.size() == 512 && (signature & 1U) != 0) {
        std::memcpy(s.out.data(), "__ZEPHLIN4471C__", 16);
      }
      if (s.out.size() == 512 && (signature & 2U) != 0) {
        std::memcpy(s.out.data() + 496, "__SATA6GRAID01__", 16);
      }
      a.in = s.out;
      a.outcome.completed = input.Flag();
      a.outcome.scsiStatus = input.Byte();
      a.outcome.senseLength = static_cast<uint8_t>(input.Byte() % (kSenseBytes + 1));
      const auto sense = input.Bytes(a.outcome.senseLength);
      std::copy(sense.begin(), sense.end(), a.outcome.sense.begin());
      a.outcome.hostStatus = input.U16();
      a.outcome.driverStatus = input.U16();
      a.outcome.osError = static_cast<int32_t>(input.U32());
      break;
    }
    case 3:
      if (input.Flag()) {
        a.extent = DiskExtent{input.U32(), Number64(input), Number64(input)};
      }
      break;
    case 5:
      a.mask = input.U32();
      break;
    case 6:
      a.type = input.Byte();
      break;
    case 7:
    case 8:
      a.text = input.Text();
      break;
    case 9:
      if (input.Flag()) a.denied = DeniedDisk{input.Text(), input.Text()};
      break;
    case 10:
    case 11:
      a.flag = input.Flag();
      break;
    case 12:
      s.now = Number64(input);
      break;
    default:
      break;
  }
  return s;
}

// One run of the steps, on the Recorder or on the Replayer.
struct Run {
  Run(Transport& t, Clock& c, Scripted* d = nullptr, ScriptedClock* dc = nullptr)
      : transport(t), clock(c), devices(d), deviceClock(dc) {}

  Transport& transport;
  Clock& clock;
  Scripted* devices = nullptr;  // the Recorder's; null in the replay
  ScriptedClock* deviceClock = nullptr;
  std::vector<DeviceHandle> opened;
  DeviceHandle nextHandle = 100;
  std::optional<uint64_t> firstReading;
};

// What the program got from a step, as the replay must give it: the data a
// command read as the replay hands it back, handles and claims by whether
// there is one, clock readings from the first. `flip` changes that byte of
// the command's CDB.
std::string Perform(const Step& s, Run& run, std::optional<std::size_t> flip = std::nullopt) {
  Transport& t = run.transport;
  const bool recording = run.devices != nullptr;
  if (recording) {
    *run.devices = s.answer;
    if (s.answer.open.handle != kInvalidHandle) run.devices->open.handle = run.nextHandle++;
    run.deviceClock->now = s.now;
  }
  const std::size_t at = s.handle % (run.opened.size() + 1);
  const DeviceHandle handle = at < run.opened.size() ? run.opened[at] : kInvalidHandle;
  switch (s.call) {
    case 0: {
      const OpenResult r = t.Open(s.path);
      if (r.opened()) run.opened.push_back(r.handle);
      return "open " + std::to_string(static_cast<int>(r.status)) + " " +
             std::to_string(r.osError) + " " + std::to_string(r.opened());
    }
    case 1:
      if (at < run.opened.size()) {
        t.Close(handle);
        run.opened.erase(run.opened.begin() + static_cast<std::ptrdiff_t>(at));
      }
      return "close";
    case 2: {
      ScsiRequest request = s.request;
      std::vector<uint8_t> buffer(request.transferLength, kSentinel);
      if (request.direction == DataDirection::Out) buffer = s.out;
      request.data = buffer.empty() ? nullptr : buffer.data();
      if (flip) request.cdb[*flip % request.cdbLength] ^= 0x01;
      const CommandOutcome o = t.Execute(handle, request);
      if (recording && request.direction == DataDirection::In) {
        // What the replay hands back of what the devices gave: nothing
        // where the recording has no data, zeros where it keeps none.
        const bool noted = o.completed && request.transferLength != 0;
        const bool kept = ref::KeptInRecording(request.cdb[0], buffer);
        if (!noted) std::fill(buffer.begin(), buffer.end(), kSentinel);
        if (noted && !kept) std::fill(buffer.begin(), buffer.end(), uint8_t{0});
      }
      return "execute " + std::to_string(o.completed) + " " + std::to_string(o.scsiStatus) + " " +
             HexText({o.sense.data(), o.senseLength}) + " " + std::to_string(o.hostStatus) + " " +
             std::to_string(o.driverStatus) + " " + std::to_string(o.osError) + " " +
             HexText(buffer);
    }
    case 3: {
      const auto e = t.FirstExtent(handle);
      return e ? "extent " + std::to_string(e->diskNumber) + " " +
                     std::to_string(e->startingOffset) + " " + std::to_string(e->extentLength)
               : "no extent";
    }
    case 4:
      t.Refresh();
      return "refresh";
    case 5:
      return "letters " + std::to_string(t.LogicalDriveMask());
    case 6:
      return "type " + std::to_string(t.DriveType(s.letter));
    case 7: {
      const std::string node = t.DriveNode(s.drive);
      return "node " + HexText({reinterpret_cast<const uint8_t*>(node.data()), node.size()});
    }
    case 8: {
      const std::string id = t.BridgeId(s.drive);
      return "id " + HexText({reinterpret_cast<const uint8_t*>(id.data()), id.size()});
    }
    case 9: {
      const auto d = t.RefusedDisk();
      const auto hex = [](const std::string& text) {
        return HexText({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
      };
      return d ? "refused " + hex(d->node) + " " + hex(d->group) : "none refused";
    }
    case 10:
      return "claim " + std::to_string(t.TryClaimDrive(s.drive, s.purpose) != kClaimRefused);
    case 11:
      return "firmware " + std::to_string(t.DriveClaimedForFirmware(s.drive));
    case 12: {
      const uint64_t now = run.clock.TickMs();
      if (!run.firstReading) run.firstReading = now;
      return "clock " + std::to_string(recording ? now - *run.firstReading : now);
    }
    default:
      return {};
  }
}

// A line that parses writes back to the same fields, and to the same text
// once written.
void CheckLine(const std::string& line) {
  std::string error;
  const auto parsed = ParseJsonLine(line, error);
  if (!parsed) return;
  const std::string written = JsonLineText(*parsed);
  Expect(written.find('\n') == std::string::npos, "a written line holds a line feed: " + written);
  const auto again = ParseJsonLine(written, error);
  Expect(again.has_value(), "the writer wrote what the parser refuses (" + error + "): " + written);
  Expect(*again == *parsed, "the line " + line + " came back as other fields: " + written);
  Expect(JsonLineText(*again) == written, "the line " + written + " is written otherwise again");
}

// The whole input, as the comment at the top reads it.
void CheckInput(Input& input) {
  CheckLine(input.Text());
  const bool otherwise = input.Flag();
  const std::size_t otherCommand = input.Byte();
  const std::size_t otherByte = input.Byte();
  std::vector<Step> steps;
  while (!input.empty()) steps.push_back(ReadStep(input));

  const std::filesystem::path file = ScratchFolder() / "session.jsonl";
  std::vector<std::string> got;
  std::vector<std::size_t> lines;  // of each step, where it writes one
  {
    Scripted devices;
    ScriptedClock clock;
    Recorder recorder(file, devices, clock, "fuzz", KeepReadInRecording);
    Run run{recorder, recorder.clock(), &devices, &clock};
    std::size_t line = 1;
    for (const Step& s : steps) {
      got.push_back(Perform(s, run));
      lines.push_back(s.call == 1 ? 0 : ++line);
    }
    Expect(recorder.Complete(), "the recording could not be written");
  }

  Replayer replayer(file, Replayer::Pauses::Simulated);
  std::vector<std::string> reasons;
  replayer.SetStopHandler([&reasons](const std::string& reason) { reasons.push_back(reason); });
  Run run{replayer, replayer.clock()};
  std::size_t commands = 0;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const bool flip = otherwise && steps[i].call == 2 && commands++ == otherCommand;
    const std::string replayed =
        Perform(steps[i], run, flip ? std::optional(otherByte) : std::nullopt);
    if (flip) {
      const std::string where = "line " + std::to_string(lines[i]) + ": expected ";
      Expect(reasons.size() == 1 && reasons[0].find(where) != std::string::npos,
             "a command asked with another CDB stopped the replay with " +
                 (reasons.empty() ? std::string("nothing") : reasons[0]));
      return;
    }
    Expect(reasons.empty(), "step " + std::to_string(i) + " stopped the replay: " +
                                (reasons.empty() ? std::string() : reasons[0]));
    Expect(replayed == got[i],
           "step " + std::to_string(i) + " replayed as " + replayed + ", recorded as " + got[i]);
  }
  (void)replayer.LogicalDriveMask();
  const std::size_t last = 1 + static_cast<std::size_t>(std::count_if(
                                   lines.begin(), lines.end(), [](std::size_t l) { return l; }));
  Expect(reasons.size() == 1 &&
             reasons[0].find("ends at line " + std::to_string(last) + ";") != std::string::npos,
         "a call past the end stopped the replay with " +
             (reasons.empty() ? std::string("nothing") : reasons[0]));
}

}  // namespace
}  // namespace px::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  px::fuzz::Input input(data, size);
  px::fuzz::CheckInput(input);
  return 0;
}
