// --record and --replay through the built tool: a run played back from its
// recording prints what the recorded run printed without touching any disk,
// a replay that goes another way stops with what was expected and what
// came, and sessions recorded through a real Linux kernel (the end-to-end
// run's guest) replay to the output the guest printed.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/pxraid_process.h"
#include "common/text.h"
#include "device/knock.h"
#include "eventlog/log_file.h"
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
// Each replays to exactly what the guest printed, exit status included, with
// what status has said since: the recording is older than the question for
// the enclosures' bridges, so their ids fall back to the drive numbers.
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

// A field of `size` bytes in ATA order, as a device holds `text`.
std::string AtaField(std::string text, std::size_t size) {
  text.resize(size, ' ');
  return SwapPairs({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

std::string FromHex(std::string_view hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return bytes;
}

std::string ToHex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const char c : bytes) {
    hex += kDigits[static_cast<uint8_t>(c) >> 4];
    hex += kDigits[static_cast<uint8_t>(c) & 0x0F];
  }
  return hex;
}

// Bytes that would act on a terminal or split a line: C0 but the line feed
// between lines, DEL, and C1 as UTF-8.
bool HoldsControl(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<uint8_t>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<uint8_t>(text[i + 1]) : 0;
    if ((c < 0x20 && c != '\n') || c == 0x7F || (c == 0xC2 && next >= 0x80 && next <= 0x9F))
      return true;
  }
  return false;
}

// What a device may put in its texts to forge lines: a line of the log's
// own, a journal priority that would mark a line an emergency, a terminal
// escape sequence and a C1 control.
constexpr char kForgedModel[] = "X\r\nD1 P1 was initialized\r\n<0>\x1B[2J\xC2\x9B!";
constexpr char kForgedProduct[] = "RAID\r\n<0>\x1B[2J";
constexpr char kMirrorModel[] = "WDC WD10EZEX-00BN5A0";

// Rewrites what the devices answered in a recording: in every status reply,
// each member's model (port records at reply offsets 84 and 160, the model
// at record offset 4, 40 bytes in ATA order) becomes kForgedModel, and in
// every INQUIRY the product (bytes 16-31) becomes kForgedProduct. Returns
// how many fields it rewrote.
int ForgeDeviceTexts(const fs::path& recording) {
  std::ifstream in(recording);
  std::string rewritten;
  int forged = 0;
  for (std::string line; std::getline(in, line);) {
    auto call = nlohmann::ordered_json::parse(line);
    if (call.value("call", "") == "execute" && call.contains("in") && call["in"].is_string()) {
      std::string data = FromHex(call["in"].get<std::string>());
      const std::string cdb = FromHex(call["cdb"].get<std::string>());
      if (cdb[0] == 0x12 && data.size() >= 32) {
        std::string product = kForgedProduct;
        product.resize(16, ' ');
        data.replace(16, 16, product);
        ++forged;
      } else if (data.starts_with(kReplyHeadSignature)) {
        for (const std::size_t model : {std::size_t{84 + 4}, std::size_t{160 + 4}}) {
          if (data.compare(model, 40, AtaField(kMirrorModel, 40)) != 0) continue;
          data.replace(model, 40, AtaField(kForgedModel, 40));
          ++forged;
        }
      }
      call["in"] = ToHex(data);
    }
    rewritten += call.dump() + "\n";
  }
  std::ofstream(recording, std::ios::binary | std::ios::trunc) << rewritten;
  return forged;
}

// A recording of the virtual mirror whose members' model and enclosure's
// name hold line breaks, a journal priority and terminal controls, replayed:
// no output has a line the device made, the day's file holds none, and
// nothing prints a control byte raw.
TEST(Recording, TextsADeviceChoseForgeNoLine) {
  TempDir dir;
  const fs::path logDir = dir.path() / "log";
  const std::string logs = logDir.string();
  struct Case {
    std::string name;
    std::vector<std::string> command;
  } cases[] = {
      {"status", {"status"}},
      {"list", {"list"}},
      {"monitor", {"monitor", "--oneshot", "--log-dir", logs}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path recording = dir.path() / (c.name + ".jsonl");
    ASSERT_EQ(
        RunPxraid(Virtual("healthy-mirror", Joined({"--record", recording.string()}, c.command)))
            .exitCode,
        0);
    fs::remove_all(logDir);
    ASSERT_GT(ForgeDeviceTexts(recording), 1);
    const RunResult run = RunPxraid(
        Joined({"--replay", recording.string(), "--simulate-time", kStartTime}, c.command));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_FALSE(HoldsControl(run.out)) << run.out;
    EXPECT_FALSE(HoldsControl(run.err)) << run.err;
    const std::vector<std::string> out = run.OutLines();
    ASSERT_FALSE(out.empty());
    for (const std::string& line : out) {
      EXPECT_FALSE(line.starts_with("<")) << line;
      EXPECT_FALSE(line.starts_with("D1 P1 was initialized")) << line;
    }
    // The device's name did not break the line that names the enclosure.
    if (c.name == "status") {
      EXPECT_TRUE(out[0].starts_with("Device 1 (")) << out[0];
      EXPECT_TRUE(out[1].starts_with("  Mode:")) << out[1];
    }
    if (c.name == "list") {
      EXPECT_EQ(out.size(), 2u) << run.out;
    }
  }

  // The day's file, as the monitor left it and as pxraid log prints it.
  const std::optional<std::vector<std::string>> day = ReadLogLines(logDir / "261207.log");
  ASSERT_TRUE(day);
  // Each text where it always was, on its line, made printable.
  for (const char* expected :
       {"Model# PX RAID  <0> [2J", "    Model#: X  D1 P1 was initialized  <0> [2J !    "})
    EXPECT_NE(std::find(day->begin(), day->end(), expected), day->end()) << expected;
  for (const std::string& line : *day) {
    EXPECT_FALSE(HoldsControl(line)) << line;
    EXPECT_FALSE(line.starts_with("<")) << line;
    EXPECT_FALSE(line.starts_with("D1 P1 was initialized")) << line;
  }
  const RunResult log = RunPxraid(Virtual("no-enclosure", {"log", "--log-dir", logs}));
  EXPECT_EQ(log.exitCode, 0) << log.err;
  EXPECT_FALSE(HoldsControl(log.out)) << log.out;
  EXPECT_EQ(log.OutLines(), *day);
}

}  // namespace
}  // namespace px::test
