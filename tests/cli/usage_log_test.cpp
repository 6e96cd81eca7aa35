// Bad arguments are a usage error (exit 2) with a message, never a crash; and
// log prints and follows a day's file.

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "cli/pxraid_process.h"
#include "eventlog/log_file.h"
#include "unit/eventlog/log_test_support.h"

namespace px::test {
namespace {

TEST(Usage, BadArgumentsGiveAMessageAndExitTwo) {
  const std::vector<std::vector<std::string>> cases{
      {},
      {"bogus"},
      {"--virtual", "nowhere", "status"},
      {"status", "--json", "--extra"},
      {"monitor", "--interval", "-1"},
      {"monitor", "--interval", "soon"},
      {"log", "--date", "261307"},
      {"log", "--date", "2612"},
      {"firmware"},
      {"firmware", "check"},
      {"firmware", "check", "f.bin", "--device", "1", "--device-version", "14031815",
       "--device-product", "5000"},
      {"firmware", "check", "f.bin", "--device-version", "14031815"},
      {"firmware", "check", "f.bin", "--device-version", "XYZ", "--device-product", "5000"},
      {"firmware", "check", "f.bin", "--device", "0"},
      {"firmware", "upgrade"},
      {"firmware", "build", "--head", "h.bin"},
      {"firmware", "build", "--head", "h.bin", "-o"},
      {"firmware", "build", "--head", "h.bin", "-o", "x", "--size", "3M"},
      {"firmware", "build", "--head", "h.bin", "-o", "x", "--sub", "a:1:TRUE:more"},
      {"firmware", "build", "--head", "h.bin", "-o", "x", "--sub", "a.bin:1:maybe"},
      {"firmware", "build", "--head", "h.bin", "-o", "x", "--seed", "zz"},
      {"--virtual", "healthy-mirror", "--simulate-time", "yesterday", "status"},
  };
  for (const auto& args : cases) {
    std::string line;
    for (const auto& arg : args) line += arg + " ";
    SCOPED_TRACE(line);
    const RunResult run = RunPxraid(args);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_FALSE(run.err.empty());
    EXPECT_EQ(run.out, "");
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
