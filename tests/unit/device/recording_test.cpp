// Recording a session and playing it back: the program gets the same
// answers from the replay as from the devices, a recording keeps the
// controller's replies but not the disks' own sectors, a replay that goes
// another way stops with what was expected and what came, and a stopped
// replay leaves nothing waiting for it.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/channel.h"
#include "device/recorder.h"
#include "device/replayer.h"
#include "raid/recorded_reads.h"
#include "sim/fake_clock.h"
#include "sim/virtual_bus.h"
#include "support/channel_outcome.h"
#include "support/recording_ui.h"

namespace px {
namespace {

namespace fs = std::filesystem;

constexpr unsigned kEnclosure = 1;

class TempFile {
 public:
  TempFile() {
    std::random_device random;
    path_ = fs::temp_directory_path() / ("px-recording-" + std::to_string(random()) + ".jsonl");
  }
  ~TempFile() {
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const fs::path& path() const { return path_; }
  std::vector<std::string> Lines() const {
    std::ifstream in(path_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  fs::path path_;
};

// What the program saw of one small session: the letters, a drive that is
// not there, INQUIRY, a status query through the channel, the control
// sector written, and a command the disk does not know.
struct Seen {
  uint32_t letters = 0;
  OpenStatus missing = OpenStatus::Opened;
  std::array<uint8_t, kInquiryLength> inquiry{};
  std::array<uint8_t, kSectorSize> reply{};
  std::string queryCode;
  bool written = false;
  CommandOutcome unknown;
};

Seen RunSession(Transport& transport, Clock& clock) {
  test::RecordingPanels panels;
  DeviceAccess access(transport, panels);
  StopSignals flags;
  CommandChannel channel(access, clock, nullptr, flags);
  Seen seen;
  seen.letters = transport.LogicalDriveMask();
  seen.missing = transport.Open({DevicePath::Kind::PhysicalDrive, PhysicalDrive(5), 0}).status;
  {
    const ScopedDevice drive(access, PhysicalDrive(kEnclosure));
    (void)access.InquiryDevice(drive.get(), seen.inquiry.data());
  }
  seen.queryCode = Outcome(channel.QueryController(PhysicalDrive(kEnclosure), 0x17, seen.reply));
  const ScopedDevice drive(access, PhysicalDrive(kEnclosure));
  std::array<uint8_t, kSectorSize> control{};
  control.fill(0x5A);
  seen.written = access.WriteSectors(drive.get(), 20, control.data(), 1);
  ScsiRequest unknown;
  unknown.cdb[0] = 0xA1;
  unknown.transferLength = 0;
  seen.unknown = transport.Execute(drive.get(), unknown);
  return seen;
}

struct Bus {
  sim::FakeClock clock;
  sim::VirtualBus bus{&clock};
  Bus() {
    bus.AttachEnclosure(kEnclosure);
    bus.AddVolume({'C', kDriveFixed, 0, 1048576, 1 << 30});
  }
};

TEST(Recording, TheReplayGivesTheProgramWhatTheDevicesGaveIt) {
  TempFile file;
  Seen recorded;
  {
    Bus devices;
    Recorder recorder(file.path(), devices.bus, devices.clock, "test", KeepReadInRecording);
    recorded = RunSession(recorder, recorder.clock());
  }
  ASSERT_EQ(recorded.queryCode, "answered");
  Replayer replayer(file.path(), Replayer::Pauses::Simulated);
  std::string stopped;
  replayer.SetStopHandler([&](const std::string& reason) { stopped = reason; });
  const Seen replayed = RunSession(replayer, replayer.clock());

  EXPECT_EQ(stopped, "");
  EXPECT_EQ(replayed.letters, recorded.letters);
  EXPECT_EQ(replayed.missing, OpenStatus::Missing);
  EXPECT_EQ(replayed.inquiry, recorded.inquiry);
  EXPECT_EQ(replayed.queryCode, "answered");
  EXPECT_EQ(replayed.reply, recorded.reply);
  EXPECT_TRUE(replayed.written);
  EXPECT_TRUE(replayed.unknown.completed);
  EXPECT_EQ(replayed.unknown.scsiStatus, kScsiStatusCheckCondition);
  EXPECT_EQ(std::vector<uint8_t>(replayed.unknown.sense.begin(),
                                 replayed.unknown.sense.begin() + replayed.unknown.senseLength),
            std::vector<uint8_t>(recorded.unknown.sense.begin(),
                                 recorded.unknown.sense.begin() + recorded.unknown.senseLength));
}

// The knock reads and the reads between them return the disk's own sectors,
// which the program never looks at; the recording says they were read and
// keeps nothing of them. The reply sector, INQUIRY and the data written are
// kept.
TEST(Recording, KeepsTheControllersRepliesButNotTheDisksOwnSectors) {
  TempFile file;
  {
    Bus devices;
    Recorder recorder(file.path(), devices.bus, devices.clock, "test", KeepReadInRecording);
    (void)RunSession(recorder, recorder.clock());
  }
  int kept = 0;
  int dropped = 0;
  for (const std::string& line : file.Lines()) {
    std::string error;
    const auto call = RecordedCall::Parse(line, error);
    ASSERT_TRUE(call) << error;
    if (call->Text("call") != "execute" || !call->Has("in")) continue;
    const std::string cdb = call->Text("cdb").value_or("");
    if (call->IsNull("in")) {
      ++dropped;
      EXPECT_EQ(cdb.substr(0, 2), "28") << line;
      EXPECT_NE(cdb, "28000000001100000100") << "the reply is kept";
      continue;
    }
    ++kept;
    const auto in = call->Hex("in");
    ASSERT_TRUE(in);
    if (cdb.substr(0, 2) == "28") {
      EXPECT_TRUE(IsReplySector(std::span<const uint8_t, kSectorSize>(in->data(), kSectorSize)));
    } else {
      EXPECT_EQ(cdb.substr(0, 2), "12") << "INQUIRY";
    }
  }
  EXPECT_EQ(kept, 2) << "INQUIRY and the reply";
  EXPECT_EQ(dropped, 17) << "16 knock reads and the read between knock and reply";
}

struct Refusal {
  std::string name;
  std::function<void(Transport&, Clock&)> session;
  std::string reason;  // after "FILE line N: " or "the recording FILE "
};

// A recording of: open drive 1, READ(10) of LBA 17, WRITE(10) of LBA 20,
// a clock reading. Each replay below goes another way at its last call.
TEST(Recording, AReplayThatGoesAnotherWayStopsWithWhatWasExpectedAndWhatCame) {
  TempFile file;
  std::array<uint8_t, kSectorSize> sector{};
  {
    Bus devices;
    Recorder recorder(file.path(), devices.bus, devices.clock, "test", KeepReadInRecording);
    const DeviceHandle h =
        recorder.Open({DevicePath::Kind::PhysicalDrive, PhysicalDrive(kEnclosure), 0}).handle;
    (void)recorder.Execute(h, MakeRead10(17, 1, sector.data()));
    (void)recorder.Execute(h, MakeWrite10(20, 1, sector.data()));
    (void)recorder.clock().TickMs();
  }
  const auto open = [](Transport& t) {
    return t.Open({DevicePath::Kind::PhysicalDrive, PhysicalDrive(kEnclosure), 0}).handle;
  };
  const std::vector<Refusal> refusals{
      {"another drive",
       [](Transport& t, Clock&) {
         (void)t.Open({DevicePath::Kind::PhysicalDrive, PhysicalDrive(2), 0});
       },
       "line 2: expected opening drive 1, came opening drive 2"},
      {"another sector",
       [&](Transport& t, Clock&) {
         (void)t.Execute(open(t), MakeRead10(0x5FFF, 1, sector.data()));
       },
       "line 3: expected READ(10) of LBA 0x11 on drive 1, came READ(10) of LBA 0x5FFF on drive 1"},
      {"other data written",
       [&](Transport& t, Clock&) {
         const DeviceHandle h = open(t);
         (void)t.Execute(h, MakeRead10(17, 1, sector.data()));
         std::array<uint8_t, kSectorSize> other{};
         other[3] = 0x01;
         (void)t.Execute(h, MakeWrite10(20, 1, other.data()));
       },
       "line 4: expected WRITE(10) of LBA 0x14 on drive 1, came WRITE(10) of LBA 0x14 on drive "
       "1 (its out data differs from byte 3 on)"},
      {"another kind of call", [&](Transport& t, Clock&) { (void)t.LogicalDriveMask(); },
       "line 2: expected opening drive 1, came the list of drive letters"},
      {"past the end",
       [&](Transport& t, Clock& c) {
         const DeviceHandle h = open(t);
         (void)t.Execute(h, MakeRead10(17, 1, sector.data()));
         (void)t.Execute(h, MakeWrite10(20, 1, sector.data()));
         (void)c.TickMs();
         (void)c.TickMs();
       },
       "ends at line 5; came a reading of the clock"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.name);
    Replayer replayer(file.path(), Replayer::Pauses::Simulated);
    std::vector<std::string> reasons;
    replayer.SetStopHandler([&](const std::string& reason) { reasons.push_back(reason); });
    r.session(replayer, replayer.clock());
    ASSERT_EQ(reasons.size(), 1u);
    EXPECT_NE(reasons[0].find(file.path().string()), std::string::npos) << reasons[0];
    EXPECT_NE(reasons[0].find(r.reason), std::string::npos) << reasons[0];

    // Stopped, the replay has nothing and grants everything, so nothing in
    // the program waits for it, and its clock goes on by the pauses taken.
    EXPECT_FALSE(
        replayer.Open({DevicePath::Kind::PhysicalDrive, PhysicalDrive(kEnclosure), 0}).opened());
    EXPECT_FALSE(replayer.Execute(1, MakeRead10(17, 1, sector.data())).completed);
    EXPECT_EQ(replayer.LogicalDriveMask(), 0u);
    EXPECT_NE(replayer.TryClaimDrive(PhysicalDrive(kEnclosure), ClaimPurpose::Commands),
              kClaimRefused);
    const uint64_t before = replayer.clock().TickMs();
    replayer.clock().SleepMs(10);
    EXPECT_EQ(replayer.clock().TickMs(), before + 10);
    EXPECT_EQ(reasons.size(), 1u) << "told once";
  }
}

// A file that does not begin as a recording is refused at once; a line
// further on that is no call stops the replay when it is reached.
TEST(Recording, AFileThatIsNoRecordingIsRefusedWithItsLine) {
  const std::string header = R"({"recording":"px-raid-session","version":1,"program":"test"})";
  struct Case {
    std::string text;
    std::string error;
  } cases[] = {
      {"", "is empty"},
      {"not json\n", "line 1: a line must be one JSON object"},
      {R"({"recording":"px-raid-session","version":2})"
       "\n",
       "line 1: it is a recording of version 2"},
      {header + "\n" + R"({"call":"refresh","drive":{"nested":1}})" + "\n",
       "line 2: values are strings, integers, true, false or null"},
      {header + "\n" + R"({"drive":1})" + "\n", "line 2: a call must say what it is"},
      {header + "\n" + R"({"call":"drive_letters"})" + "\n",
       "line 2: the recorded answer is incomplete"},
  };
  for (const Case& c : cases) {
    TempFile file;
    std::ofstream(file.path()) << c.text;
    std::string error;
    try {
      Replayer replayer(file.path(), Replayer::Pauses::Simulated);
      replayer.SetStopHandler([&](const std::string& reason) { error = reason; });
      (void)replayer.LogicalDriveMask();
    } catch (const std::runtime_error& refused) {
      error = refused.what();
    }
    EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
  }
}

// No recorded line is near 1 MiB long; a longer one is refused with its
// number, whether it is the header or a call, and one of 1 MiB is read.
TEST(Recording, ALineLongerThanOneMebibyteIsRefusedWithItsNumber) {
  // The object's own text, widened with blanks after its brace to `length`.
  const auto padded = [](const std::string& object, std::size_t length) {
    return "{" + std::string(length - object.size(), ' ') + object.substr(1) + "\n";
  };
  const std::string header = R"({"recording":"px-raid-session","version":1,"program":"test"})";
  const std::string letters = R"({"call":"drive_letters","mask":5})";
  struct Case {
    std::string name;
    std::string text;
    std::string error;  // empty: the letters are read
  } cases[] = {
      {"header of 1 MiB", padded(header, kMaxRecordingLine) + letters + "\n", ""},
      {"call of 1 MiB", header + "\n" + padded(letters, kMaxRecordingLine), ""},
      {"header a byte longer", padded(header, kMaxRecordingLine + 1) + letters + "\n",
       "line 1: the line is longer than 1 MiB"},
      {"call a byte longer", header + "\n" + padded(letters, kMaxRecordingLine + 1),
       "line 2: the line is longer than 1 MiB"},
      {"call of 5 MiB without an end", header + "\n" + std::string(5 * kMaxRecordingLine, '{'),
       "line 2: the line is longer than 1 MiB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFile file;
    std::ofstream(file.path(), std::ios::binary) << c.text;
    std::string error;
    uint32_t mask = 0;
    try {
      Replayer replayer(file.path(), Replayer::Pauses::Simulated);
      replayer.SetStopHandler([&](const std::string& reason) { error = reason; });
      mask = replayer.LogicalDriveMask();
    } catch (const std::runtime_error& refused) {
      error = refused.what();
    }
    if (c.error.empty()) {
      EXPECT_EQ(error, "");
      EXPECT_EQ(mask, 5u);
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
}

TEST(RecordedCall, TextsComeBackAsTheyWent) {
  for (const std::string& text : {std::string("/dev/sdb"), std::string("a \"quoted\" \\ path"),
                                  std::string("tab\there\nnewline"),
                                  std::string("Gr\xC3\xBC\xC3\x9F"), std::string("\x01\x1F")}) {
    const std::string line = RecordedCall("drive_node").AddText("node", text).Line();
    std::string error;
    const auto call = RecordedCall::Parse(line, error);
    ASSERT_TRUE(call) << line << ": " << error;
    EXPECT_EQ(call->Text("node"), text) << line;
  }
}

}  // namespace
}  // namespace px
