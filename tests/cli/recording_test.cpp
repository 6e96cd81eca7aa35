// --record and --replay through the built tool: a run played back from its
// recording prints what the recorded run printed without touching any disk,
// a replay that goes another way stops with what was expected and what
// came, and sessions recorded through a real Linux kernel (the end-to-end
// run's guest) replay to the output the guest printed.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/pxraid_process.h"
#include "sim/demo_scenarios.h"
#include "unit/eventlog/log_test_support.h"

namespace px::test {
namespace {

namespace fs = std::filesystem;

std::string FileText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Joined(std::vector<std::string> front,
                                const std::vector<std::string>& back) {
  front.insert(front.end(), back.begin(), back.end());
  return front;
}

struct Session {
  std::string name;
  std::string scenario;
  std::vector<std::string> command;
};

// Discovery (list), discovery and a status poll (status), a poll that waits
// out a controller that never answers, an upgrade of the second of two
// enclosures, and a headless monitor of a rebuild.
TEST(Recording, AReplayPrintsWhatTheRecordedRunPrinted) {
  TempDir dir;
  const fs::path firmware = dir.path() / "fw.bin";
  const std::vector<uint8_t> image = sim::DemoFirmwareFile();
  std::ofstream(firmware, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  const std::vector<Session> sessions{
      {"discovery", "two-enclosures", {"list"}},
      {"status", "rebuilding-mirror", {"status", "--json"}},
      {"no answer", "silent-enclosure", {"status"}},
      {"upgrade",
       "two-enclosures",
       {"firmware", "upgrade", firmware.string(), "--yes", "--device", "2", "--log-dir",
        (dir.path() / "log").string()}},
      {"monitor",
       "rebuilding-mirror",
       {"monitor", "--polls", "3", "--log-dir", (dir.path() / "log").string()}},
  };
  for (const Session& s : sessions) {
    SCOPED_TRACE(s.name);
    const fs::path recording = dir.path() / (s.scenario + ".jsonl");
    const RunResult recorded =
        RunPxraid(Virtual(s.scenario, Joined({"--record", recording.string()}, s.command)));
    ASSERT_EQ(recorded.signal, 0);
    fs::remove_all(dir.path() / "log");
    const RunResult replayed = RunPxraid(
        Joined({"--replay", recording.string(), "--simulate-time", kStartTime}, s.command));
    EXPECT_EQ(replayed.signal, 0);
    EXPECT_EQ(replayed.exitCode, recorded.exitCode) << replayed.err;
    EXPECT_EQ(replayed.out, recorded.out);
    EXPECT_EQ(replayed.err.find("replay"), std::string::npos) << replayed.err;
  }
}

TEST(Recording, AReplayThatGoesAnotherWayStopsAndSaysWhere) {
  TempDir dir;
  const fs::path recording = dir.path() / "status.jsonl";
  ASSERT_EQ(
      RunPxraid(Virtual("healthy-mirror", {"--record", recording.string(), "status"})).exitCode, 0);
  struct Case {
    std::vector<std::string> command;
    std::string message;
  } cases[] = {
      // list asks for the name of the drive where status polled it.
      {{"list"}, "expected a reading of the clock, came the name of drive 1"},
  };
  for (const Case& c : cases) {
    const RunResult run = RunPxraid(Joined({"--replay", recording.string()}, c.command));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("pxraid: replay: " + recording.string() + " line "), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }

  std::ofstream(dir.path() / "bad.jsonl") << "{\"recording\":\"something else\"}\n";
  const RunResult bad = RunPxraid({"--replay", (dir.path() / "bad.jsonl").string(), "status"});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.err.find("line 1: it does not begin with the header of a recording"),
            std::string::npos)
      << bad.err;
}

// Recorded in the end-to-end run's guest, through SG_IO, the sd and
// usb-storage drivers and qemu's xHCI controller: three disks, the first a
// plain one whose presence query times out, then a mirror and a stripe.
// Each replays to exactly what the guest printed, exit status included.
TEST(Recording, SessionsRecordedThroughARealKernelReplayToWhatTheGuestPrinted) {
  const fs::path fixtures = fs::path(PX_FIXTURES_DIR) / "e2e";
  struct Case {
    std::string name;
    std::vector<std::string> command;
  } cases[] = {{"list", {"list"}}, {"status", {"status", "--json"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult run =
        RunPxraid(Joined({"--replay", (fixtures / (c.name + ".jsonl")).string()}, c.command));
    EXPECT_EQ(run.out, FileText(fixtures / (c.name + ".out")));
    EXPECT_EQ(std::to_string(run.exitCode) + "\n", FileText(fixtures / (c.name + ".code")));
    EXPECT_EQ(run.err, "");
  }
}

}  // namespace
}  // namespace px::test
