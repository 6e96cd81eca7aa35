// The member history through pxraid as a user meets it: monitor keeps it
// beside its logs over a virtual story, raises its warnings as alerts and
// metrics, and status and history read it back.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/pxraid_process.h"
#include "unit/eventlog/log_test_support.h"

namespace px::test {
namespace {

namespace fs = std::filesystem;

constexpr int kIntervalSeconds = 60;

std::vector<std::string> FileLines(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::size_t CountStarting(const std::vector<std::string>& lines, const std::string& start) {
  std::size_t count = 0;
  for (const std::string& line : lines) count += line.rfind(start, 0) == 0 ? 1U : 0U;
  return count;
}

// pxraid monitor over `scenario`, a poll a minute of simulated time, with
// its history, metrics and an alert program in `dir`.
RunResult Monitor(const TempDir& dir, const std::string& scenario, int polls) {
  const fs::path program = dir.path() / "on-alert";
  std::ofstream(program) << "#!/bin/sh\nprintf '%s|%s\\n' \"$*\" \"$PXRAID_SEVERITY\" >> '"
                         << (dir.path() / "calls").string() << "'\n";
  fs::permissions(program, fs::perms::owner_all);
  return RunPxraid(
      Virtual(scenario, {"monitor", "--log-dir", dir.path().string(), "--interval",
                         std::to_string(kIntervalSeconds), "--polls", std::to_string(polls),
                         "--textfile", dir.path().string(), "--exec", program.string()}));
}

TEST(MemberHistory, EachWarningIsRaisedOnceAtThePollThatBringsItAbout) {
  TempDir dir;
  const RunResult run = Monitor(dir, "disks-mixed-up", 20);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const RunResult history =
      RunPxraid({"history", "--history", (dir.path() / "history.sqlite").string(), "--json"});
  ASSERT_EQ(history.exitCode, 0) << history.err;
  // Versioned as status --json is.
  EXPECT_EQ(nlohmann::ordered_json::parse(history.out).begin().key(), "json_format_version");
  EXPECT_EQ(nlohmann::json::parse(history.out)["json_format_version"],
            nlohmann::json::parse(RunPxraid(Virtual("no-enclosure", {"status", "--json"})).out)
                .at("json_format_version"));
  const nlohmann::json events = nlohmann::json::parse(history.out)["enclosures"][0]["events"];
  const std::vector<std::string> calls = FileLines(dir.path() / "calls");
  const std::vector<std::string> metrics = FileLines(dir.path() / "pxraid.prom");

  struct Case {
    std::string name;
    int poll;
    std::string severity;
    std::string alert;  // the alert program's arguments
  } cases[] = {
      // The pair put back the wrong way round: which way a rebuild runs
      // decides whose data survives.
      {"MembersSwapped", 2, "critical", "MembersSwapped 1"},
      // P1 failed at poll 4 and was pulled; the same disk comes back.
      {"RepeatFailure", 8, "warning", "RepeatFailure 1 P1"},
      {"ForeignMember", 12, "warning", "ForeignMember 1 P1"},
      // Half the volume's size: it stands for ForeignMember.
      {"SmallerMember", 16, "warning", "SmallerMember 1 P1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<nlohmann::json> raised;
    for (const nlohmann::json& event : events) {
      if (event["name"] == c.name) raised.push_back(event);
    }
    ASSERT_EQ(raised.size(), 1u) << events.dump(2);
    EXPECT_EQ(raised[0]["time"], "2026-12-07T10:" + std::string(c.poll < 10 ? "0" : "") +
                                     std::to_string(c.poll) + ":00Z");
    EXPECT_EQ(raised[0]["severity"], c.severity);
    EXPECT_EQ(CountStarting(calls, c.alert + "|" + c.severity), 1u) << run.err;
    EXPECT_EQ(CountStarting(metrics, "pxraid_history_warnings_total{device=\"1\",warning=\"" +
                                         c.name + "\"} 1"),
              1u);
  }
}

// A rebuild that gains one percent a poll, a poll a minute: a percent a
// minute, which the estimate must meet within a tenth once it has seen a
// fifth of the rebuild.
TEST(MemberHistory, ARebuildsTimeLeftFollowsItsRate) {
  TempDir dir;
  constexpr int kPolls = 30;
  const RunResult run = Monitor(dir, "steady-rebuild", kPolls);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::string file = (dir.path() / "history.sqlite").string();
  const RunResult json =
      RunPxraid(Virtual("steady-rebuild", {"status", "--json", "--history", file}));
  const nlohmann::json rebuild = nlohmann::json::parse(json.out)["enclosures"][0]["rebuild"];

  double monitored = -1;
  const std::string gauge = "pxraid_rebuild_remaining_seconds{device=\"1\"} ";
  for (const std::string& line : FileLines(dir.path() / "pxraid.prom")) {
    if (line.rfind(gauge, 0) == 0) monitored = std::stod(line.substr(gauge.size()));
  }
  struct Case {
    const char* where;
    double seconds;
    int percent;  // what the reading showed
  } cases[] = {
      {"the monitor's metric at its last poll", monitored, kPolls - 1},
      {"status, reading the rebuild afresh", rebuild["remaining_seconds"].get<double>(),
       rebuild["percent"].get<int>()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.where);
    const double expected = (100 - c.percent) * double{kIntervalSeconds};
    EXPECT_NEAR(c.seconds, expected, expected / 10);
  }
  const RunResult text = RunPxraid(Virtual("steady-rebuild", {"status", "--history", file}));
  EXPECT_NE(text.out.find("  Rebuild: P0 --> P1, 0%, about 1 h 40 min left\n"), std::string::npos)
      << text.out;
  // Without a history nothing is guessed.
  const RunResult none = RunPxraid(
      Virtual("steady-rebuild", {"status", "--json", "--history", (dir.path() / "none").string()}));
  EXPECT_TRUE(
      nlohmann::json::parse(none.out)["enclosures"][0]["rebuild"]["remaining_seconds"].is_null());
}

}  // namespace
}  // namespace px::test
