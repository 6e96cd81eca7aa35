// --record and --replay through the built tool: a run played back from its
// recording prints what the recorded run printed without touching any disk,
// a replay that goes another way stops with what was expected and what
// came, and sessions recorded through a real Linux kernel (the end-to-end
// run's guest) replay to the output the guest printed.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
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
  const RunResult bad = RunPxraid({"--replay", (dir.path() / "bad.jsonl").string(), "list"});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.err.find("line 1: it does not begin with the header of a recording"),
            std::string::npos)
      << bad.err;
}

// status that cannot finish is UNKNOWN, whatever ended it, and still
// answers in the format asked for: the enclosures its detection found, if it
// finished, none of them read, and the error.
TEST(Recording, AStatusThatCannotFinishIsUnknownInTheFormatAskedFor) {
  TempDir dir;
  const fs::path status = dir.path() / "status.jsonl";
  const fs::path list = dir.path() / "list.jsonl";
  ASSERT_EQ(RunPxraid(Virtual("two-enclosures", {"--record", status.string(), "status"})).exitCode,
            0);
  ASSERT_EQ(RunPxraid(Virtual("two-enclosures", {"--record", list.string(), "list"})).exitCode, 0);
  // Cut in the middle of the poll, which follows the detection's last
  // question (whether a disk was refused), at the end of a line or inside one.
  const std::string recorded = FileText(status);
  const std::size_t poll = recorded.find('\n', recorded.find("\"refused_disk\"")) + 1;
  const std::size_t cut = recorded.find('\n', poll + (recorded.size() - poll) / 2) + 1;
  std::ofstream(dir.path() / "cut.jsonl") << recorded.substr(0, cut);
  std::ofstream(dir.path() / "half.jsonl") << recorded.substr(0, cut + 20);
  std::ofstream(dir.path() / "empty.jsonl");
  const fs::path locked = dir.path() / "locked.jsonl";
  fs::copy_file(status, locked);
  fs::permissions(locked, fs::perms::none);

  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::string error;
    std::size_t enclosures;  // found before the failure
  } cases[] = {
      {"cut after a line",
       {"--replay", (dir.path() / "cut.jsonl").string()},
       "cut.jsonl ends at line",
       2},
      {"cut inside a line",
       {"--replay", (dir.path() / "half.jsonl").string()},
       "half.jsonl line ",
       2},
      // list's detection is status's; then list asks for the drives' names
      // where status polls.
      {"another run's", {"--replay", list.string()}, "came a reading of the clock", 2},
      {"empty", {"--replay", (dir.path() / "empty.jsonl").string()}, "is empty", 0},
      {"unreadable", {"--replay", locked.string()}, "cannot read the recording", 0},
      {"unwritable recording",
       {"--virtual", "two-enclosures", "--record", (dir.path() / "none" / "r.jsonl").string()},
       "cannot write the recording",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = Joined(c.args, {"--simulate-time", kStartTime, "status"});
    const auto run = [&args](const std::vector<std::string>& format) {
      PxraidProcess tool(Joined(args, format), "", UnprivilegedLauncher());
      return tool.Wait();
    };

    const RunResult text = run({});
    EXPECT_EQ(text.exitCode, 3);
    EXPECT_NE(text.err.find(c.error), std::string::npos) << text.err;
    std::size_t unread = 0;
    for (std::size_t at = 0;
         (at = text.out.find("Status:  could not be read", at)) != std::string::npos; ++at) {
      ++unread;
    }
    EXPECT_EQ(unread, c.enclosures) << text.out;

    const RunResult json = run({"--json"});
    EXPECT_EQ(json.exitCode, 3);
    const nlohmann::json answer = nlohmann::json::parse(json.out, nullptr, false);
    ASSERT_TRUE(answer.is_object()) << json.out;
    EXPECT_EQ(answer.value("health", ""), "unknown");
    EXPECT_EQ(answer.value("exit_code", 0), 3);
    EXPECT_NE(answer.value("error", "").find(c.error), std::string::npos) << json.out;
    ASSERT_EQ(answer["enclosures"].size(), c.enclosures);
    for (const auto& enclosure : answer["enclosures"]) {
      EXPECT_EQ(enclosure["status_read"], false);
      EXPECT_EQ(enclosure["health"], "unknown");
    }

    const RunResult prometheus = run({"--format", "prometheus"});
    EXPECT_EQ(prometheus.exitCode, 3);
    std::string series;
    for (const std::string& line : prometheus.OutLines()) {
      if (line.rfind("pxraid_status_read_ok{", 0) == 0 ||
          line.rfind("pxraid_last_poll_timestamp_seconds ", 0) == 0) {
        series += line + "\n";
      }
    }
    std::string unanswered;
    for (std::size_t device = 1; device <= c.enclosures; ++device) {
      unanswered += "pxraid_status_read_ok{device=\"" + std::to_string(device) + "\"} 0\n";
    }
    // A poll that did not finish has no time: polls that keep failing go stale.
    EXPECT_EQ(series, unanswered) << prometheus.out;
  }
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
