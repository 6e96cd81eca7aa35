// status and list against every virtual set-up: the JSON parsed back field by
// field, the text form's verdict, and the exit codes a monitoring system acts
// on.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/enclosure_status.h"
#include "cli/pxraid_process.h"
#include "monitor/status_report.h"
#include "sim/demo_scenarios.h"
#include "unit/eventlog/log_test_support.h"

namespace px::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Member {
  std::string state;
  int rawState;
  const sim::PortScenario* disk;  // null: model and serial blank, capacity 0
};

struct Enclosure {
  int drive;
  std::string name;
  std::string mode;
  int modeCode;
  uint64_t volumeSectors;
  Member p0;
  Member p1;
  std::optional<int> rebuildPercent;  // P0 --> P1
  std::string health;
  std::string reason;
  bool statusRead = true;
};

struct StatusCase {
  std::string scenario;
  int exitCode;
  std::string health;
  std::vector<Enclosure> enclosures;
  std::string error = {};  // only without enclosures
};

const sim::ControllerScenario kMirror = sim::HealthyMirrorScenario();
const sim::ControllerScenario kStripe = sim::StripingScenario();
const uint64_t kTerabyte = sim::kOneTerabyteSectors;

std::vector<StatusCase> Cases() {
  const Member p0Ready{"ready", 0, &kMirror.p0};
  const Member p1Ready{"ready", 0, &kMirror.p1};
  return {
      {"healthy-mirror",
       0,
       "ok",
       {{1,
         "PX RAID1 Dual Bay",
         "Mirror",
         1,
         kTerabyte,
         p0Ready,
         p1Ready,
         {},
         "ok",
         "both members ready"}}},
      {"rebuilding-mirror",
       1,
       "warning",
       {{1,
         "PX RAID1 Dual Bay",
         "Mirror",
         1,
         kTerabyte,
         p0Ready,
         {"ready", 1, &kMirror.p1},
         40,
         "warning",
         "P0 --> P1 40%"}}},
      {"failed-member",
       2,
       "critical",
       {{1,
         "PX RAID1 Dual Bay",
         "Mirror",
         1,
         kTerabyte,
         p0Ready,
         {"failed", 9, &kMirror.p1},
         {},
         "critical",
         "P1 failed"}}},
      {"two-enclosures",
       0,
       "ok",
       {{1,
         "PX RAID1 Dual Bay",
         "Mirror",
         1,
         kTerabyte,
         p0Ready,
         p1Ready,
         {},
         "ok",
         "both members ready"},
        {2,
         "PX RAID0 Dual Bay",
         "Striping",
         0,
         2 * kStripe.p0.capacitySectors,
         {"ready", 0, &kStripe.p0},
         {"ready", 0, &kStripe.p1},
         {},
         "ok",
         "both members ready"}}},
      {"no-enclosure", 3, "unknown", {}, "No enclosure found."},
      {"inserted-member",
       1,
       "warning",
       {{1,
         "PX RAID1 Dual Bay",
         "Mirror",
         1,
         kTerabyte,
         p0Ready,
         {"inserted", 6, &kMirror.p1},
         {},
         "warning",
         "P1 inserted, not part of the volume"}}},
      // Discovery blanks a member that is not there; the volume is what is
      // left of the mirror.
      {"absent-member",
       2,
       "critical",
       {{1,
         "PX RAID1 Dual Bay",
         "Mirror",
         1,
         kTerabyte,
         p0Ready,
         {"absent", 0xFF, nullptr},
         {},
         "critical",
         "P1 absent from the Mirror"}}},
      {"single-disk",
       1,
       "warning",
       {{1,
         "PX RAID1 Dual Bay",
         "JBOD",
         3,
         0,
         p0Ready,
         {"absent", 0xFF, nullptr},
         {},
         "warning",
         "single member (JBOD)"}}},
      {"silent-enclosure",
       3,
       "unknown",
       {{1,
         "PX RAID1 Dual Bay",
         "Mirror",
         1,
         kTerabyte,
         p0Ready,
         p1Ready,
         {},
         "unknown",
         "the status could not be read",
         false}}},
      {"no-permission", 3, "unknown", {}, "No permission to open the virtual disks"},
  };
}

void ExpectMember(const json& member, const char* port, const Member& expected) {
  SCOPED_TRACE(port);
  EXPECT_EQ(member.at("port"), port);
  EXPECT_EQ(member.at("state"), expected.state);
  EXPECT_EQ(member.at("raw_state"), expected.rawState);
  EXPECT_EQ(member.at("model"), expected.disk ? expected.disk->model : "");
  EXPECT_EQ(member.at("serial"), expected.disk ? expected.disk->serial : "");
  EXPECT_EQ(member.at("capacity_sectors"), expected.disk ? expected.disk->capacitySectors : 0);
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

TEST(StatusCommand, JsonOfEveryScenarioReadsBackFieldByField) {
  for (const StatusCase& c : Cases()) {
    SCOPED_TRACE(c.scenario);
    const RunResult run = RunPxraid(Virtual(c.scenario, {"status", "--json"}));
    ASSERT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, c.exitCode);
    const json status = json::parse(run.out);
    EXPECT_EQ(nlohmann::ordered_json::parse(run.out).begin().key(), "json_format_version");
    EXPECT_EQ(status.at("json_format_version"), json::array({1, 0}));
    EXPECT_EQ(status.at("health"), c.health);
    EXPECT_EQ(status.at("exit_code"), c.exitCode);
    if (c.enclosures.empty()) {
      EXPECT_NE(status.at("error").get<std::string>().find(c.error), std::string::npos);
      EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
    } else {
      EXPECT_FALSE(status.contains("error"));
    }
    const json& enclosures = status.at("enclosures");
    ASSERT_EQ(enclosures.size(), c.enclosures.size());
    for (std::size_t i = 0; i < c.enclosures.size(); ++i) {
      const Enclosure& e = c.enclosures[i];
      const json& got = enclosures[i];
      SCOPED_TRACE("device " + std::to_string(i + 1));
      EXPECT_EQ(got.at("device"), i + 1);
      EXPECT_EQ(got.at("drive"), e.drive);
      EXPECT_TRUE(got.at("node").is_null());
      EXPECT_EQ(got.at("name"), e.name);
      EXPECT_EQ(got.at("firmware"), "140318.5");
      EXPECT_EQ(got.at("mode"), e.mode);
      EXPECT_EQ(got.at("mode_code"), e.modeCode);
      EXPECT_EQ(got.at("volume_capacity_sectors"), e.volumeSectors);
      EXPECT_EQ(got.at("status_read"), e.statusRead);
      ASSERT_EQ(got.at("members").size(), 2u);
      ExpectMember(got.at("members")[0], "P0", e.p0);
      ExpectMember(got.at("members")[1], "P1", e.p1);
      const json& rebuild = got.at("rebuild");
      EXPECT_EQ(rebuild.at("running"), e.rebuildPercent.has_value());
      if (e.rebuildPercent) {
        EXPECT_EQ(rebuild.at("direction"), "P0 --> P1");
        EXPECT_EQ(rebuild.at("percent"), *e.rebuildPercent);
      } else {
        EXPECT_TRUE(rebuild.at("direction").is_null());
        EXPECT_TRUE(rebuild.at("percent").is_null());
      }
      EXPECT_EQ(got.at("health"), e.health);
      EXPECT_EQ(got.at("reason"), e.reason);
    }
  }
}

TEST(StatusCommand, TextFormGivesTheSameVerdictAndExitCode) {
  for (const StatusCase& c : Cases()) {
    SCOPED_TRACE(c.scenario);
    const RunResult run = RunPxraid(Virtual(c.scenario, {"status"}));
    ASSERT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, c.exitCode);
    for (const Enclosure& e : c.enclosures) {
      const std::string verdict = "  Health:  " + Upper(e.health) + " (" + e.reason + ")\n";
      EXPECT_NE(run.out.find(verdict), std::string::npos) << run.out;
      EXPECT_NE(run.out.find(e.name + ", firmware 140318.5"), std::string::npos);
    }
    if (c.enclosures.empty()) {
      EXPECT_EQ(run.out, "");
    }
  }
}

// One line as monitoring plugins print it: the verdict, what is not OK, and
// performance data after the one '|', with the exit status of the others.
TEST(StatusCommand, NagiosFormatIsOnePluginLineWithPerformanceData) {
  for (const StatusCase& c : Cases()) {
    SCOPED_TRACE(c.scenario);
    const RunResult run = RunPxraid(Virtual(c.scenario, {"status", "--format", "nagios"}));
    ASSERT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, c.exitCode);
    ASSERT_EQ(run.OutLines().size(), 1u) << run.out;
    const std::string line = run.OutLines()[0];
    const std::size_t bar = line.find(" | ");
    ASSERT_NE(bar, std::string::npos) << line;
    EXPECT_EQ(line.find('|'), bar + 1) << line;
    const std::string text = line.substr(0, bar);
    const std::string perfdata = line.substr(bar + 3) + " ";
    EXPECT_EQ(text.rfind("PXRAID " + Upper(c.health) + " - ", 0), 0u) << text;
    EXPECT_NE(perfdata.find("enclosures=" + std::to_string(c.enclosures.size()) + ";;;0 "),
              std::string::npos)
        << perfdata;
    if (c.enclosures.empty()) {
      EXPECT_NE(text.find(c.error), std::string::npos) << text;
    }
    for (std::size_t i = 0; i < c.enclosures.size(); ++i) {
      const Enclosure& e = c.enclosures[i];
      const std::string id = "virtual-" + std::to_string(e.drive);
      EXPECT_EQ(text.find(e.reason) != std::string::npos, e.health != "ok") << text;
      EXPECT_EQ(perfdata.find("rebuild_" + id + "=" + std::to_string(e.rebuildPercent.value_or(0)) +
                              "%;;;0;100 ") != std::string::npos,
                e.rebuildPercent.has_value())
          << perfdata;
    }
  }
}

// --enclosure names one enclosure by its stable id, a member's serial or
// its node, for status and list alike; a name that fits none is UNKNOWN
// (list: no device) and says so.
TEST(StatusCommand, AnEnclosureNamedByIdOrSerialIsTheOneShown) {
  struct Case {
    std::vector<std::string> command;
    int exitCode;
    std::string shown;
    std::string notShown;
    std::string err;
  } cases[] = {
      {{"status", "--enclosure", "virtual-2"},
       0,
       "Device 2 (drive 2): PX RAID0 Dual Bay",
       "RAID1",
       ""},
      {{"status", "--enclosure", kMirror.p1.serial, "--json"},
       0,
       "\"name\": \"PX RAID1 Dual Bay\"",
       "RAID0",
       ""},
      {{"list", "--enclosure", kStripe.p0.serial}, 0, "PX RAID0 Dual Bay", "RAID1", ""},
      {{"status", "--enclosure", "nowhere", "--json"},
       3,
       "\"error\": \"there is no enclosure nowhere: 2 enclosures found\"",
       "RAID",
       "pxraid: there is no enclosure nowhere: 2 enclosures found\n"},
      {{"list", "--enclosure", "nowhere"},
       3,
       "",
       "RAID",
       "pxraid: there is no enclosure nowhere: 2 enclosures found\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command[0] + " --enclosure " + c.command[2]);
    const RunResult run = RunPxraid(Virtual("two-enclosures", c.command));
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_NE(run.out.find(c.shown), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find(c.notShown), std::string::npos) << run.out;
    EXPECT_EQ(run.err, c.err);
  }
}

// Ids and nodes name one enclosure each and come before serials, which two
// disks may share; an absent member's leftover serial names nothing.
TEST(EnclosureChoice, IdOrNodeFirstThenAMembersSerial) {
  std::vector<monitor::EnclosureReport> enclosures(2);
  const char* ids[] = {"usb-152d-0567-A", "usb-152d-0567-B"};
  const char* nodes[] = {"/dev/sdb", "/dev/sdc"};
  const char* serials[2][2] = {{"S-1", "TWIN"}, {"usb-152d-0567-A", "TWIN"}};
  for (std::size_t i = 0; i < 2; ++i) {
    enclosures[i].device = static_cast<int>(i) + 1;
    enclosures[i].id = ids[i];
    enclosures[i].node = nodes[i];
    for (std::size_t port = 0; port < 2; ++port) {
      enclosures[i].members[port].state = monitor::MemberState::Ready;
      enclosures[i].members[port].serial = serials[i][port];
    }
  }
  enclosures[1].members[0].state = monitor::MemberState::Failed;
  enclosures[0].members[0].state = monitor::MemberState::Absent;
  const struct {
    std::string choice;
    std::optional<std::size_t> index;
    std::string why;
  } cases[] = {
      {"usb-152d-0567-B", 1, ""},
      {"/dev/sdb", 0, ""},
      {"usb-152d-0567-A", 0, ""},  // the id, not the other's serial
      {"TWIN",
       {},
       "TWIN names more than one enclosure (devices 1 and 2): choose one by its "
       "stable id"},
      {"S-1", {}, "there is no enclosure S-1: 2 enclosures found"},
      {"sdb", {}, "there is no enclosure sdb: 2 enclosures found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.choice);
    const monitor::EnclosureChoice chosen = monitor::ChooseEnclosure(enclosures, c.choice);
    EXPECT_EQ(chosen.index, c.index);
    EXPECT_EQ(chosen.why, c.why);
  }
}

// A device's id becomes part of the line: it cannot end the text, start
// performance data or break the line.
TEST(EnclosureChoice, NagiosLineKeepsADevicesIdToItsText) {
  monitor::StatusReports reports;
  reports.enclosures.resize(1);
  monitor::EnclosureReport& enclosure = reports.enclosures[0];
  enclosure.id = "usb-x|y=1\nOK";
  enclosure.health = Health::Warning;
  enclosure.reason = "P0 --> P1 40%";
  enclosure.rebuildRunning = true;
  enclosure.percent = 40;
  reports.overall = Health::Warning;
  const std::string line = cli::ToNagios(reports);
  EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
  EXPECT_EQ(line.find('|'), line.rfind('|')) << line;
  EXPECT_NE(line.find(" rebuild_usb-x_y_1_OK=40%;;;0;100\n"), std::string::npos) << line;
}

// --quiet: nothing on standard output, the exit status as ever, and errors
// still said.
TEST(StatusCommand, QuietAnswersByItsExitStatusAlone) {
  const struct {
    std::string scenario;
    std::vector<std::string> args;
    int exitCode;
    std::string err;
  } cases[] = {
      {"failed-member", {"--quiet", "status"}, 2, ""},
      {"rebuilding-mirror", {"status", "-q", "--json"}, 1, ""},
      {"no-enclosure", {"-q", "status", "--format", "nagios"}, 3, "pxraid: No enclosure found.\n"},
      {"two-enclosures", {"list", "--quiet"}, 0, ""},
      {"two-enclosures",
       {"-q", "list", "--enclosure", "nowhere"},
       3,
       "pxraid: there is no enclosure nowhere: 2 enclosures found\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario + " " + json(c.args).dump());
    const RunResult run = RunPxraid(Virtual(c.scenario, c.args));
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.err);
  }
}

// An enclosure another program holds is named, not taken for absent or
// healthy, and what could not be checked makes the whole answer UNKNOWN.
TEST(StatusCommand, ADriveAnotherProgramHoldsIsUnknownAndSaysWhy) {
  const std::vector<std::string> held{"--held-elsewhere", "2:firmware"};
  std::vector<std::string> args = held;
  args.push_back("status");
  const RunResult text = RunPxraid(Virtual("two-enclosures", args));
  EXPECT_EQ(text.exitCode, 3);
  EXPECT_NE(text.out.find("  Health:  OK (both members ready)\n"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("Drive 2: busy, not probed\n  Health:  UNKNOWN (another program is "
                          "upgrading its firmware)\n"),
            std::string::npos)
      << text.out;

  args.push_back("--json");
  const RunResult run = RunPxraid(Virtual("two-enclosures", args));
  EXPECT_EQ(run.exitCode, 3);
  const json status = json::parse(run.out);
  EXPECT_EQ(status.at("health"), "unknown");
  EXPECT_EQ(status.at("enclosures").size(), 1u);
  EXPECT_EQ(status.at("busy_drives"),
            json::parse(R"([{"drive": 2, "node": null, "health": "unknown",
                             "reason": "another program is upgrading its firmware"}])"));
}

TEST(StatusCommand, AModelThatIsNotUtf8StillGivesJson) {
  const RunResult run = RunPxraid(Virtual("latin1-model", {"status", "--json"}));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const json status = json::parse(run.out);
  EXPECT_EQ(status.at("health"), "ok");
  // The Latin-1 e acute is replaced by U+FFFD, in the text form too.
  EXPECT_EQ(status.at("enclosures").at(0).at("members").at(1).at("model"),
            "Disque n\xEF\xBF\xBDo 1TB");
  const RunResult text = RunPxraid(Virtual("latin1-model", {"status"}));
  EXPECT_EQ(text.exitCode, 0);
  EXPECT_NE(text.out.find("Disque n\xEF\xBF\xBDo 1TB"), std::string::npos) << text.out;
}

// The physical drives the recorded session sent a command to, or claimed.
std::set<int> DrivesAsked(const fs::path& recording) {
  std::ifstream in(recording);
  std::set<int> drives;
  for (std::string line; std::getline(in, line);) {
    const json call = json::parse(line);
    if (call.value("call", "") == "execute" || call.value("call", "") == "claim") {
      drives.insert(call.at("drive").get<int>());
    }
  }
  return drives;
}

// Asked for one drive, list and status show that enclosure only, and no
// other drive is sent a single command.
TEST(ListCommand, OneDriveAskedIsTheOnlyOneAsked) {
  struct Case {
    std::vector<std::string> command;
    int exitCode;
    std::string shown;     // a line of the output
    std::string notShown;  // the other enclosure
    std::string err;
    std::set<int> asked;
  } cases[] = {
      {{"list", "--drive", "2"},
       0,
       "1    2      PX RAID0 Dual Bay  140318.5  Striping  ready  ready\n",
       "RAID1",
       "",
       {2}},
      {{"status", "--drive", "1"},
       0,
       "Device 1 (drive 1): PX RAID1 Dual Bay, firmware 140318.5\n",
       "RAID0",
       "",
       {1}},
      {{"status", "--drive", "0", "--json"},
       3,
       "\"error\": \"No enclosure found on drive 0.\"",
       "RAID",
       "pxraid: No enclosure found on drive 0.\n",
       {0}},
      {{"list", "--drive", "5"}, 3, "", "RAID", "pxraid: No enclosure found on drive 5.\n", {}},
      // The last drive there is: taken, and asked nothing with nothing there.
      {{"list", "--drive", "9"}, 3, "", "RAID", "pxraid: No enclosure found on drive 9.\n", {}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command[0] + " --drive " + c.command[2]);
    const fs::path recording = dir.path() / "session.jsonl";
    std::vector<std::string> args{"--record", recording.string()};
    args.insert(args.end(), c.command.begin(), c.command.end());
    const RunResult run = RunPxraid(Virtual("two-enclosures", args));
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_NE(run.out.find(c.shown), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find(c.notShown), std::string::npos) << run.out;
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(DrivesAsked(recording), c.asked);
  }
}

TEST(ListCommand, OneAlignedLinePerEnclosureOrExitThreeWithoutAny) {
  const RunResult two = RunPxraid(Virtual("two-enclosures", {"list"}));
  EXPECT_EQ(two.exitCode, 0);
  EXPECT_EQ(two.OutLines(), (std::vector<std::string>{
                                "DEV  DRIVE  NAME               FIRMWARE  MODE      P0     P1",
                                "1    1      PX RAID1 Dual Bay  140318.5  Mirror    ready  ready",
                                "2    2      PX RAID0 Dual Bay  140318.5  Striping  ready  ready",
                            }));

  const RunResult failed = RunPxraid(Virtual("failed-member", {"list"}));
  EXPECT_EQ(failed.exitCode, 0);
  ASSERT_EQ(failed.OutLines().size(), 2u);
  EXPECT_EQ(failed.OutLines()[1], "1    1      PX RAID1 Dual Bay  140318.5  Mirror  ready  failed");

  const RunResult none = RunPxraid(Virtual("no-enclosure", {"list"}));
  EXPECT_EQ(none.exitCode, 3);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, "pxraid: No enclosure found.\n");
}

}  // namespace
}  // namespace px::test
