// Bad arguments are a usage error (exit 2) with a message, never a crash; and
// log prints and follows a day's file.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/pxraid_process.h"
#include "eventlog/log_file.h"
#include "unit/eventlog/log_test_support.h"

namespace px::test {
namespace {

struct UsageCase {
  std::vector<std::string> args;
  int exitCode;
  std::string message;  // part of what standard error says; empty: anything
};

// The options only tests give are pxraid-test's: the pxraid that is shipped
// refuses each as it refuses any option it does not know, and pxraid-test
// runs with it.
TEST(Usage, TheShippedPxraidTakesNoTestOption) {
  const TempDir dir;
  const std::string trace = (dir.path() / "trace.json").string();
  const std::string logDir = (dir.path() / "log").string();
  struct Case {
    std::vector<std::string> args;  // after --virtual healthy-mirror
    std::string refusal;
    int exitCode;          // the shipped pxraid's
    int testHostExitCode;  // pxraid-test's
  };
  const std::vector<Case> cases{
      {{"--simulate-time", kStartTime, "status"}, "'--simulate-time' for status", 3, 0},
      {{"--control-trace", trace, "--simulate-time", kStartTime, "list"},
       "'--control-trace' for list",
       2,
       0},
      {{"--held-elsewhere", "1", "--simulate-time", kStartTime, "list"},
       "'--held-elsewhere' for list",
       2,
       3},
      {{"--read-latency", "0", "--simulate-time", kStartTime, "status"},
       "'--read-latency' for status",
       3,
       0},
      {{"monitor", "--polls", "1", "--simulate-time", kStartTime, "--log-dir", logDir,
        "--no-history"},
       "'--polls' for monitor",
       2,
       0},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"--virtual", "healthy-mirror"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.refusal);
    const RunResult shipped = RunProgram(PXRAID_EXE, args);
    EXPECT_EQ(shipped.exitCode, c.exitCode);
    EXPECT_EQ(shipped.out, "");
    EXPECT_EQ(shipped.err,
              "pxraid: unknown option " + c.refusal + "\nRun with --help for more information.\n");
    const RunResult test = RunProgram(PXRAID_TEST_EXE, args);
    EXPECT_EQ(test.exitCode, c.testHostExitCode) << test.err;
  }
}

// A usage error names what was wrong and exits 2, or 3 (UNKNOWN) from
// status, whose exit codes a monitoring system reads: whatever the command,
// one kind of mistake gives one exit status.
TEST(Usage, BadArgumentsAreNamedAndExitTwoOrUnknownFromStatus) {
  const std::vector<UsageCase> cases{
      {{}, 2, "a command is required: list, status, monitor, history, log, firmware"},
      {{"history", "--since", "yesterday"}, 2, "--since: yesterday is no date"},
      {{"bogus"}, 2, "unknown command 'bogus'; the commands are list, status"},
      {{"firmware", "bogus"}, 2, "unknown firmware command 'bogus'"},
      {{"firmware", "--bogus"}, 2, "unknown option '--bogus' for firmware"},
      {{"--virtual", "nowhere", "status"}, 3, "nowhere"},
      {{"status", "--json", "--extra"}, 3, "unknown option '--extra' for status"},
      {{"status", "extra"}, 3, "unexpected argument 'extra' for status"},
      {{"status", "--drive", "1", "--enclosure", "virtual-1"}, 3, "--drive excludes --enclosure"},
      {{"list", "--enclosure", "virtual-1", "--drive", "1"}, 2, "--drive excludes --enclosure"},
      // Physical drives go from 0 to 9; nothing past either end is one.
      {{"list", "--drive", "10"}, 2, "pxraid: --drive: 10 is not in the range 0 to 9\n"},
      {{"status", "--drive", "-1"}, 3, "pxraid: --drive: -1 is not in the range 0 to 9\n"},
      {{"status", "--drive", "two"}, 3, "pxraid: --drive: 'two' is not a number\n"},
      {{"status", "--format", "html"}, 3, "html not in {text,json,prometheus,nagios}"},
      {{"--virtual", "healthy-mirror", "--simulate-time", "yesterday", "status"}, 3, "yesterday"},
      {{"--virtual", "healthy-mirror", "--held-elsewhere", "1@soon", "list"},
       2,
       "held drive '1@soon' is not N or N:firmware"},
      {{"monitor", "--interval", "-1"}, 2, "-1 is not in the range 0 to 86400"},
      {{"monitor", "--interval", "soon"}, 2, "--interval: 'soon' is not a number"},
      {{"monitor", "--interval", "1.5"}, 2, "'1.5' is not a number"},
      // Hidden options, named as the others are.
      {{"--read-latency", "5000000", "status"},
       3,
       "pxraid: --read-latency: 5000000 is not in the range 0 to 1000000\n"},
      {{"monitor", "--polls", "x"}, 2, "pxraid: --polls: 'x' is not a number\n"},
      {{"log", "--date", "261307"}, 2, ""},
      {{"log", "--date", "2612"}, 2, ""},
      {{"firmware"}, 2, "firmware needs a command: check, upgrade, backup, restore, build"},
      {{"firmware", "check"}, 2, ""},
      {{"firmware", "check", "f.bin", "--device", "1", "--device-version", "14031815",
        "--device-product", "5000"},
       2,
       ""},
      {{"firmware", "check", "f.bin", "--device-version", "14031815"}, 2, ""},
      {{"firmware", "check", "f.bin", "--device-version", "XYZ", "--device-product", "5000"},
       2,
       ""},
      {{"firmware", "check", "f.bin", "--device", "0"}, 2, "0 is not in the range 1 to 8"},
      {{"firmware", "upgrade"}, 2, ""},
      {{"firmware", "upgrade", "f.bin", "--device", "abc"}, 2, "--device: 'abc' is not a number"},
      {{"firmware", "backup"}, 2, ""},
      {{"firmware", "restore", "f.bin", "--device", "two"}, 2, "'two' is not a number"},
      {{"firmware", "build", "--head", "h.bin"}, 2, ""},
      {{"firmware", "build", "--head", "h.bin", "-o"}, 2, ""},
      {{"firmware", "build", "--head", "h.bin", "-o", "x", "--size", "3M"}, 2, ""},
      {{"firmware", "build", "--head", "h.bin", "-o", "x", "--sub", "a:1:TRUE:more"}, 2, ""},
      {{"firmware", "build", "--head", "h.bin", "-o", "x", "--sub", "a.bin:1:maybe"}, 2, ""},
      {{"firmware", "build", "--head", "h.bin", "-o", "x", "--seed", "zz"},
       2,
       "--seed: 'zz' is not a number (decimal, or hexadecimal ending in H)"},
      {{"firmware", "build", "--head", "h.bin", "-o", "x", "--fan-limit", "12X"},
       2,
       "--fan-limit: '12X' is not a number"},
      {{"firmware", "build", "--head", "h.bin", "-o", "x", "--sub", "a.bin:A0"},
       2,
       "the code type 'A0' is not a number"},
  };
  for (const UsageCase& c : cases) {
    std::string line;
    for (const auto& arg : c.args) line += arg + " ";
    SCOPED_TRACE(line);
    const RunResult run = RunPxraid(c.args);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_FALSE(run.err.empty());
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

// What cannot be read is named with the system's reason, and is a failure
// (1), not a missing file.
TEST(Usage, WhatCannotBeReadIsNamedWithTheSystemsReason) {
  TempDir dir;
  const auto locked = dir.path() / "locked";
  const auto open = dir.path() / "open";
  for (const auto& folder : {locked, open}) {
    std::filesystem::create_directories(folder);
    ASSERT_TRUE(ReplaceLogFile(folder / "261207.log", std::vector<std::string>{"a line"}));
  }
  // A pipe under the day's name is no log, and nothing waits for its writer.
  const auto piped = dir.path() / "piped";
  std::filesystem::create_directories(piped);
  ASSERT_EQ(::mkfifo((piped / "261207.log").c_str(), 0644), 0);
  const auto firmware = dir.path() / "fw.bin";
  WriteBytes(firmware, "firmware");
  using std::filesystem::perms;
  std::filesystem::permissions(locked, perms::owner_all);
  std::filesystem::permissions(open / "261207.log", perms::owner_read | perms::owner_write);
  std::filesystem::permissions(firmware, perms::owner_read | perms::owner_write);

  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"log", "--log-dir", locked.string(), "--date", "261207"},
       "pxraid: cannot read " + locked.string() + ": permission denied\n"},
      {{"log", "--log-dir", open.string(), "--date", "261207"},
       "pxraid: cannot read " + (open / "261207.log").string() + ": permission denied\n"},
      {{"log", "--log-dir", locked.string(), "--date", "261207", "--follow"},
       "pxraid: cannot read " + locked.string() + ": permission denied\n"},
      {{"log", "--log-dir", piped.string(), "--date", "261207"},
       "pxraid: cannot read " + (piped / "261207.log").string() + ": not a regular file\n"},
      {{"firmware", "check", firmware.string(), "--device-version", "14031815", "--device-product",
        "5000"},
       "Fail to open firmware file\npxraid: cannot read " + firmware.string() +
           ": permission denied\n"},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(args.front());
    PxraidProcess tool(args, "", UnprivilegedLauncher());
    // Each ends by itself; a follow that waits for ever instead is stopped.
    tool.ReadUntil([](const std::string&) { return false; }, std::chrono::seconds(30));
    tool.Signal(SIGTERM);
    const RunResult run = tool.Wait();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
  }
}

TEST(Usage, HelpAndVersionExitZero) {
  const RunResult help = RunPxraid({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* command : {"list", "status", "monitor", "log", "firmware"}) {
    EXPECT_NE(help.out.find(command), std::string::npos) << command;
  }
  const RunResult version = RunPxraid({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_NE(version.out.find("0.50.4"), std::string::npos);
}

TEST(LogCommand, PrintsTheDayAskedForOrSaysThereIsNone) {
  TempDir logs;
  const std::vector<std::string> lines{std::string(75, '-'), "D1 P1 was removed, 12/07/26 10:00:02",
                                       "last line"};
  ASSERT_TRUE(ReplaceLogFile(logs.path() / "261207.log", lines));
  const RunResult day = RunPxraid({"log", "--log-dir", logs.path().string(), "--date", "261207"});
  EXPECT_EQ(day.exitCode, 0);
  EXPECT_EQ(day.OutLines(), lines);

  // Without --date the day is today's, simulated here.
  const RunResult today =
      RunPxraid(Virtual("no-enclosure", {"log", "--log-dir", logs.path().string()}));
  EXPECT_EQ(today.exitCode, 0);
  EXPECT_EQ(today.OutLines(), lines);

  const RunResult none = RunPxraid({"log", "--log-dir", logs.path().string(), "--date", "261208"});
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_EQ(none.out, "");
  EXPECT_NE(none.err.find("261208.log"), std::string::npos) << none.err;
}

// A day's file may hold anything an editor or another program put there:
// what is not printable shows as the escapes of its bytes, never raw, and
// printable lines as they are.
TEST(LogCommand, ShowsControlCharactersOfAFileEscaped) {
  TempDir logs;
  ASSERT_TRUE(ReplaceLogFile(
      logs.path() / "261207.log",
      std::vector<std::string>{"D1 \x1B[31mred\x1B[0m", "tab\there", "csi \xC2\x9B[J, raw \x9B[J",
                               "n\xC3\xA9o, n\xE9o", "plain \\x41"}));
  for (const bool follow : {false, true}) {
    SCOPED_TRACE(follow ? "follow" : "print");
    std::vector<std::string> args{"log", "--log-dir", logs.path().string(), "--date", "261207"};
    if (follow) args.push_back("--follow");
    PxraidProcess tool(args);
    ASSERT_TRUE(tool.ReadUntil([](const std::string& out) { return out.ends_with("x41\n"); }));
    if (follow) tool.Signal(SIGTERM);
    const RunResult run = tool.Wait();
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.OutLines(), (std::vector<std::string>{"D1 \\x1B[31mred\\x1B[0m", "tab\\x09here",
                                                        "csi \\xC2\\x9B[J, raw \\x9B[J",
                                                        "n\xC3\xA9o, n\\xE9o", "plain \\x41"}));
  }
}

TEST(LogCommand, FollowPrintsLinesAsTheWriterAddsThemUntilStopped) {
  TempDir logs;
  const auto file = logs.path() / "261208.log";
  PxraidProcess follow({"log", "--log-dir", logs.path().string(), "--date", "261208", "--follow"});
  std::vector<std::string> lines{"first", "second"};
  ASSERT_TRUE(ReplaceLogFile(file, lines));
  ASSERT_TRUE(follow.ReadUntil([](const std::string& out) { return out == "first\nsecond\n"; }));
  // The writer replaces the whole file each time.
  lines.push_back("third");
  ASSERT_TRUE(ReplaceLogFile(file, lines));
  ASSERT_TRUE(
      follow.ReadUntil([](const std::string& out) { return out == "first\nsecond\nthird\n"; }));
  follow.Signal(SIGTERM);
  const RunResult run = follow.Wait();
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "first\nsecond\nthird\n");
}

}  // namespace
}  // namespace px::test
