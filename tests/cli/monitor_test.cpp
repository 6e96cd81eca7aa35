// monitor: the lines it prints and keeps in the day's file are the ones the
// window's writer produces for the same polls, and it says goodbye to the
// controller before it ends on a stop signal.

#include "raid/monitor.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/pxraid_process.h"
#include "cli/virtual_scenarios.h"
#include "eventlog/event_log.h"
#include "eventlog/log_file.h"
#include "unit/eventlog/log_test_support.h"
#include "unit/raid/raid_rig.h"

namespace px::test {
namespace {

constexpr int kPolls = 18;  // the member-replaced story ends before poll 15

// What the window's writer logs for the scenario over `polls` polls a second
// apart from 2026-12-07 10:00:00: discovery, then for every poll the
// scenario's script, the status poll and the writer, the start block while
// nothing has been shown.
std::vector<std::string> WriterLines(const std::string& name, int polls) {
  const cli::VirtualScenario* scenario = cli::FindVirtualScenario(name);
  RaidRig rig;
  scenario->build(rig.bus);
  rig.Detect();
  TempDir directory;
  EventLogState state;
  // The tool runs under LC_ALL=C.
  const SystemDateFormat format("C");
  EventLogWriter writer(state, rig.enclosures, rig.records, "Utitity v0.50.4", directory.path(),
                        format, rig.panels, rig.clock, rig.flags);
  int poll = 0;
  RaidMonitor monitor(rig.context, [&](uint8_t mask, uint8_t) {
    const LogTime now{2026, 12, 7, 10, 0, poll};
    writer.WriteEventLog(mask, {now, rig.monitor.FirstDisplay.load(), rig.monitor.Redetected});
  });
  for (; poll < polls; ++poll) {
    cli::ApplyScriptSteps(*scenario, rig.bus, poll);
    if (monitor.ReadStatus(rig.client).display) rig.FirstDisplayDone();
  }
  return state.LogLines;
}

std::vector<std::pair<int, int>> HostEvents(const std::filesystem::path& trace) {
  const nlohmann::json json = nlohmann::json::parse(ReadBytes(trace));
  std::vector<std::pair<int, int>> events;
  for (const auto& write : json.at("control_writes")) {
    EXPECT_TRUE(write.at("signature_ok").get<bool>());
    EXPECT_TRUE(write.at("sum_ok").get<bool>());
    EXPECT_EQ(write.at("request"), 0x1F);
    events.emplace_back(write.at("drive").get<int>(), write.at("host_event").get<int>());
  }
  return events;
}

std::size_t CountStarting(const std::vector<std::string>& lines, const std::string& prefix) {
  return static_cast<std::size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const auto& line) { return line.rfind(prefix, 0) == 0; }));
}

TEST(MonitorCommand, ScriptedMemberReplacementLogsWhatTheWindowsWriterWould) {
  const std::vector<std::string> expected = WriterLines("member-replaced", kPolls);
  // The story itself, so that a reference that logged nothing could not pass.
  EXPECT_EQ(CountStarting(expected, "D1 P1 was removed, 12/07/26 10:00:02"), 1u);
  EXPECT_EQ(CountStarting(expected, "D1 P1 was inserted, 12/07/26 10:00:04"), 1u);
  EXPECT_EQ(CountStarting(expected, "D1 P1 was initialized, (SATA0), 12/07/26 10:00:06"), 1u);
  EXPECT_EQ(CountStarting(expected, "D1 P0 --> P1 "), 5u);  // 0, 30, 60, 99 %, Done
  EXPECT_EQ(CountStarting(expected, "D1 P0 --> P1 Done, 12/07/26 10:00:14"), 1u);

  TempDir logs;
  const auto trace = logs.path() / "trace.json";
  const RunResult run =
      RunPxraid(Virtual("member-replaced", {"--control-trace", trace.string(), "monitor",
                                            "--log-dir", logs.path().string(), "--interval", "1",
                                            "--polls", std::to_string(kPolls)}));
  ASSERT_EQ(run.signal, 0);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.OutLines(), expected);
  EXPECT_EQ(ReadBytes(logs.path() / "261207.log"), CrLfJoined(expected));
  // Found after the first read, and told goodbye at the end.
  EXPECT_EQ(HostEvents(trace), (std::vector<std::pair<int, int>>{{1, 0x21}, {1, 0x20}}));
}

TEST(MonitorCommand, ContinuesTheDaysFileAndPrintsOnlyWhatIsNew) {
  TempDir logs;
  const std::vector<std::string> earlier{"an earlier line", "and another"};
  ASSERT_TRUE(ReplaceLogFile(logs.path() / "261207.log", earlier));
  const RunResult run = RunPxraid(
      Virtual("healthy-mirror", {"monitor", "--log-dir", logs.path().string(), "--polls", "3"}));
  EXPECT_EQ(run.exitCode, 0);
  std::vector<std::string> all = earlier;
  const std::vector<std::string> printed = run.OutLines();
  all.insert(all.end(), printed.begin(), printed.end());
  EXPECT_EQ(printed, WriterLines("healthy-mirror", 3));
  EXPECT_EQ(ReadBytes(logs.path() / "261207.log"), CrLfJoined(all));
}

TEST(MonitorCommand, LinesThatCouldNotBeSavedAreCountedAtTheEndAndExitOne) {
  TempDir logs;
  // Folders in the places of the lock files, the folder's and the user's
  // own, keep every save from happening, as a full disk would.
  std::filesystem::create_directory(logs.path() / kLogLockName);
  std::filesystem::create_directory(OwnLockFile(logs.path(), LogUserName()));
  const RunResult run =
      RunPxraid(Virtual("member-replaced", {"monitor", "--log-dir", logs.path().string(),
                                            "--interval", "1", "--polls", "18"}));
  EXPECT_EQ(run.exitCode, 1);
  const std::vector<std::string> printed = run.OutLines();
  EXPECT_EQ(printed, WriterLines("member-replaced", 18));
  EXPECT_FALSE(std::filesystem::exists(logs.path() / "261207.log"));
  EXPECT_FALSE(std::filesystem::exists(OwnLogFile(logs.path() / "261207.log", LogUserName())));
  EXPECT_NE(run.err.find("pxraid: Cannot write log file "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("pxraid: " + std::to_string(printed.size()) +
                         " log lines could not be saved in " + logs.path().string() +
                         "; they are only on standard output\n"),
            std::string::npos)
      << run.err;
}

TEST(MonitorCommand, StopSignalSendsTheShutdownEventAndExitsZero) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    TempDir logs;
    const auto trace = logs.path() / "trace.json";
    PxraidProcess monitor(Virtual("two-enclosures", {"--control-trace", trace.string(), "monitor",
                                                     "--log-dir", logs.path().string()}));
    // The start block ends with its line of 83 hyphens once both were read.
    ASSERT_TRUE(monitor.ReadUntil([](const std::string& out) {
      return out.find(std::string(83, '-')) != std::string::npos;
    }));
    monitor.Signal(signal);
    const RunResult run = monitor.Wait();
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.err.find("pxraid: stopped"), std::string::npos) << run.err;
    EXPECT_EQ(HostEvents(trace),
              (std::vector<std::pair<int, int>>{{1, 0x21}, {1, 0x20}, {2, 0x21}, {2, 0x20}}));
  }
}

// How many detections of a recorded session probed drive 0, the host's own
// disk: each sends it the presence query once, whose knock reads LBA 0x210.
std::size_t DetectionsOfTheHostDisk(const std::filesystem::path& recording) {
  std::ifstream in(recording);
  std::size_t detections = 0;
  for (std::string line; std::getline(in, line);) {
    const nlohmann::json call = nlohmann::json::parse(line);
    if (call.value("call", "") == "execute" && call.value("drive", -1) == 0 &&
        call.value("cdb", "") == "28000000021000000100") {
      ++detections;
    }
  }
  return detections;
}

// The monitor finds the enclosures once, and again only after a device
// change: not before every poll, nor at every poll while it knows none.
TEST(MonitorCommand, FindsTheEnclosuresAgainOnlyAfterADeviceChange) {
  struct Case {
    std::string scenario;
    std::size_t detections;
    std::string said;
  } cases[] = {
      {"healthy-mirror", 1, "pxraid: monitoring 1 enclosure"},
      {"no-enclosure", 1, "pxraid: monitoring 0 enclosures"},
      {"enclosure-plugged-in", 2, "pxraid: 2 enclosures found\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    TempDir dir;
    const auto recording = dir.path() / "session.jsonl";
    const RunResult run = RunPxraid(
        Virtual(c.scenario, {"--record", recording.string(), "monitor", "--log-dir",
                             (dir.path() / "log").string(), "--interval", "1", "--polls", "5"}));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    EXPECT_EQ(DetectionsOfTheHostDisk(recording), c.detections);
  }
}

TEST(MonitorCommand, DisksThatRefuseToOpenEndItWithAdviceAndExitThree) {
  TempDir logs;
  const RunResult run =
      RunPxraid(Virtual("no-permission", {"monitor", "--log-dir", logs.path().string()}));
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("No permission to open"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace px::test
