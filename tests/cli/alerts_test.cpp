// monitor's alerts, end to end: the program it runs for each alert, mail
// through a sendmail stand-in, --oneshot, --test and the journal's
// priorities, over the virtual enclosures' scripted stories.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/pxraid_process.h"
#include "eventlog/log_file.h"
#include "monitor/alerting.h"
#include "monitor/metrics.h"
#include "unit/eventlog/log_test_support.h"

namespace px::test {
namespace {

namespace fs = std::filesystem;

// A program for the monitor to run: a shell script, so the test sees a real
// child process do real things.
fs::path Script(const fs::path& directory, const std::string& name, const std::string& body) {
  const fs::path path = directory / name;
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  return path;
}

std::vector<std::string> Lines(const fs::path& file) {
  return ReadLogLines(file).value_or(std::vector<std::string>{});
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// What the recording sendmail was handed, one entry per mail: its arguments
// on the first line, then the message.
std::vector<std::vector<std::string>> Mails(const fs::path& file) {
  std::vector<std::vector<std::string>> mails(1);
  for (const std::string& line : Lines(file)) {
    if (line == "--END--") {
      mails.emplace_back();
    } else {
      mails.back().push_back(line);
    }
  }
  mails.pop_back();
  return mails;
}

std::string Subject(const std::vector<std::string>& mail) {
  for (const std::string& line : mail) {
    // The host's name comes first; what follows it is ours.
    if (line.rfind("Subject: pxraid on ", 0) == 0) return line.substr(line.find(": ", 9) + 2);
  }
  return {};
}

struct Recorders {
  TempDir dir;
  fs::path calls = dir.path() / "calls";
  fs::path mails = dir.path() / "mails";
  fs::path program = Script(dir.path(), "on-alert",
                            "printf '%s|%s|%s|%s|%s|%s\\n' \"$*\" \"$PXRAID_SEVERITY\" "
                            "\"$PXRAID_MODEL\" \"$PXRAID_SERIAL\" \"$PXRAID_PERCENT\" "
                            "\"$PXRAID_MESSAGE\" >> '" +
                                calls.string() + "'\necho 'a word from the program'");
  fs::path sendmail =
      Script(dir.path(), "sendmail",
             "{ printf '%s\\n' \"$*\"; cat; printf '%s\\n' --END--; } >> '" + mails.string() + "'");
  std::vector<std::string> Monitor(std::vector<std::string> args) const {
    std::vector<std::string> all{"monitor", "--log-dir", dir.path().string()};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }
};

TEST(MonitorAlerts, TheProgramIsRunForEveryAlertOfTheStory) {
  const Recorders r;
  const RunResult run = RunPxraid(
      Virtual("member-replaced",
              r.Monitor({"--interval", "1", "--polls", "18", "--exec", r.program.string()})));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::string disk = "WDC WD10EZEX-00BN5A0";
  EXPECT_EQ(Lines(r.calls),
            (std::vector<std::string>{
                "EnclosureAdded 1|info||||D1 enclosure found",
                "MemberInitialized 1 P0|info|" + disk + "|WD-WCC3F0000001||D1 P0 ready: " + disk +
                    ", serial WD-WCC3F0000001",
                "MemberInitialized 1 P1|info|" + disk + "|WD-WCC3F0000002||D1 P1 ready: " + disk +
                    ", serial WD-WCC3F0000002",
                "MemberRemoved 1 P1|critical|" + disk + "|WD-WCC3F0000002||D1 P1 removed: " + disk +
                    ", serial WD-WCC3F0000002",
                "MemberInserted 1 P1|warning|" + disk + "|WD-WCC3F0000003||D1 P1 inserted, not " +
                    "part of the volume: " + disk + ", serial WD-WCC3F0000003",
                // A disk the history never saw, about to be overwritten.
                "ForeignMember 1 P1|warning|" + disk + "|WD-WCC3F0000003||D1 P1: " + disk +
                    ", serial WD-WCC3F0000003 has not been seen before. The degraded mirror will "
                    "be rebuilt onto it, and everything on it overwritten: if it holds data you "
                    "need, take it out before the rebuild starts.",
                "MemberInitialized 1 P1|info|" + disk + "|WD-WCC3F0000003||D1 P1 ready: " + disk +
                    ", serial WD-WCC3F0000003",
                "RebuildStarted 1|info|||0|D1 rebuild P0 --> P1 started at 0%",
                "Rebuild20 1|info|||30|D1 rebuild P0 --> P1 at 30%",
                "Rebuild60 1|info|||60|D1 rebuild P0 --> P1 at 60%",
                "Rebuild80 1|info|||99|D1 rebuild P0 --> P1 at 99%",
                "RebuildFinished 1|warning|||99|D1 rebuild P0 --> P1 finished, both members ready",
            }));
  // What the program prints goes to standard error: standard output stays
  // the log's lines.
  EXPECT_EQ(run.OutLines(), Lines(r.dir.path() / "261207.log"));
  EXPECT_TRUE(Contains(run.err, "a word from the program\n")) << run.err;
  EXPECT_TRUE(Contains(run.err, "pxraid: MemberRemoved: D1 P1 removed: " + disk)) << run.err;
}

TEST(MonitorAlerts, AProgramThatFailsOrHangsIsLoggedAndMonitoringGoesOn) {
  struct Case {
    const char* name;
    const char* body;  // none: a program that does not exist
    const char* told;
  };
  const Case cases[] = {
      {"fails", "exit 3", "exited with status 3"},
      {"hangs", "sleep 60", "did not end within 1 s and was killed"},
      {"killed", "kill -9 $$", "was ended by signal 9"},
      {"missing", nullptr, "could not be started: No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Recorders r;
    const fs::path program =
        c.body != nullptr ? Script(r.dir.path(), c.name, c.body) : r.dir.path() / "no-such-program";
    const RunResult run = RunPxraid(
        Virtual("failed-member",
                r.Monitor({"--polls", "2", "--alert-timeout", "1", "--exec", program.string()})));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(Contains(
        run.err, "pxraid: " + program.string() + " for MemberFailed on D1 " + c.told + "\n"))
        << run.err;
    EXPECT_TRUE(Contains(run.err, "pxraid: stopped\n")) << run.err;
    EXPECT_EQ(run.OutLines(), Lines(r.dir.path() / "261207.log"));
  }
}

// A program the monitor runs that does not end holds up no stop: SIGTERM
// ends the monitor, and the program with it, long before the program's time
// is up.
TEST(MonitorAlerts, AStopIsNotHeldUpByAProgramThatDoesNotEnd) {
  struct Case {
    const char* name;
    std::vector<std::string> route;  // P: the program
    std::string told;
  };
  const std::string stopped = " was not run to its end: pxraid was asked to stop";
  const Case cases[] = {
      {"the alert program", {"--exec", "P"}, "pxraid: P for MemberFailed on D1" + stopped + "\n"},
      {"sendmail",
       {"--mail", "root", "--sendmail", "P"},
       "pxraid: mail of MemberFailed on D1: P" + stopped + "; trying again in an hour\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Recorders r;
    const fs::path pidFile = r.dir.path() / "pid";
    const fs::path program =
        Script(r.dir.path(), "hangs", "echo $$ > '" + pidFile.string() + "'\nexec sleep 120");
    std::vector<std::string> args{"--alert-timeout", "3600"};
    for (const std::string& arg : c.route) args.push_back(arg == "P" ? program.string() : arg);
    PxraidProcess monitor(Virtual("failed-member", r.Monitor(args)));
    // The program has started once it has said who it is. The limits only
    // keep a broken build from hanging the suite, and the program (it sleeps
    // for longer than the monitor is given to end) from outliving it long.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Lines(pidFile).empty() && std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_FALSE(Lines(pidFile).empty());
    const pid_t pid = std::stoi(Lines(pidFile).front());

    monitor.Signal(SIGTERM);
    ASSERT_TRUE(monitor.Ends(std::chrono::seconds(60)));
    const RunResult run = monitor.Wait();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::string told = c.told;
    told.replace(told.find('P'), 1, program.string());
    EXPECT_TRUE(Contains(run.err, told)) << run.err;
    EXPECT_TRUE(Contains(run.err, "pxraid: stopped\n")) << run.err;
    EXPECT_NE(::kill(pid, 0), 0) << "the program ends with the monitor";
  }
}

TEST(MonitorAlerts, CriticalConditionsAreMailedOnceThenDailyWhileTheyLast) {
  struct Case {
    const char* name;
    const char* scenario;
    // Each run's start time and arguments; the runs share one log folder.
    std::vector<std::pair<std::string, std::vector<std::string>>> runs;
    std::vector<std::string> subjects;
  };
  const std::string failed = "MemberFailed on D1 P1";
  const Case cases[] = {
      {"a failed member for two days",
       "failed-member",
       {{kStartTime, {"--interval", "3600", "--polls", "50"}}},
       {failed, failed + " (reminder)", failed + " (reminder)"}},
      {"a member pulled, replaced and rebuilt",
       "member-replaced",
       {{kStartTime, {"--interval", "1", "--polls", "18"}}},
       {"MemberRemoved on D1 P1"}},
      {"--oneshot from cron",
       "failed-member",
       {{kStartTime, {"--oneshot"}},
        {"2026-12-07T10:05:00", {"--oneshot"}},
        {"2026-12-08T10:00:00", {"--oneshot"}}},
       {failed, failed + " (reminder)"}},
      {"a restarted monitor",
       "failed-member",
       {{kStartTime, {"--polls", "2"}}, {"2026-12-07T11:00:00", {"--polls", "2"}}},
       {failed}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Recorders r;
    for (const auto& [start, args] : c.runs) {
      std::vector<std::string> all = args;
      for (const char* option : {"--mail", "ops@example.org", "--mail", "oncall@example.org",
                                 "--mail-from", "pxraid@example.org", "--sendmail"}) {
        all.emplace_back(option);
      }
      all.push_back(r.sendmail.string());
      std::vector<std::string> command{"--virtual", c.scenario, "--simulate-time", start};
      for (const std::string& arg : r.Monitor(all)) command.push_back(arg);
      const RunResult run = RunPxraid(command);
      EXPECT_EQ(run.signal, 0);
      EXPECT_FALSE(Contains(run.err, "mail of")) << run.err;
    }
    const auto mails = Mails(r.mails);
    std::vector<std::string> subjects;
    for (const auto& mail : mails) subjects.push_back(Subject(mail));
    EXPECT_EQ(subjects, c.subjects);
    ASSERT_FALSE(mails.empty());
    const std::vector<std::string>& first = mails.front();
    EXPECT_EQ(first.at(0), "-t");
    EXPECT_EQ(first.at(1), "To: ops@example.org, oncall@example.org");
    EXPECT_EQ(first.at(2), "From: pxraid@example.org");
  }
}

TEST(MonitorAlerts, TheMailSaysWhatHappenedAndWhere) {
  const Recorders r;
  const RunResult run = RunPxraid(Virtual(
      "failed-member",
      r.Monitor({"--oneshot", "--mail", "ops@example.org", "--sendmail", r.sendmail.string()})));
  EXPECT_EQ(run.exitCode, 2) << run.err;
  const auto mails = Mails(r.mails);
  ASSERT_EQ(mails.size(), 1U);
  const std::vector<std::string>& mail = mails[0];
  const auto body = std::find(mail.begin(), mail.end(), "");
  ASSERT_NE(body, mail.end());
  EXPECT_EQ(std::vector<std::string>(body + 2, mail.end()),
            (std::vector<std::string>{
                "",
                "  MemberFailed (critical): D1 P1 failed: WDC WD10EZEX-00BN5A0, serial "
                "WD-WCC3F0000002",
                "",
                "Enclosure D1 (drive 1): PX RAID1 Dual Bay, firmware 140318.5, Mirror",
                "Health: CRITICAL (P1 failed)",
                "",
                "While this lasts, a reminder follows every 24 hours.",
            }));
}

TEST(MonitorAlerts, OneshotPollsOnceAndExitsAsStatusDoes) {
  for (const char* scenario : {"healthy-mirror", "rebuilding-mirror", "failed-member",
                               "silent-enclosure", "no-enclosure"}) {
    SCOPED_TRACE(scenario);
    const Recorders r;
    const fs::path trace = r.dir.path() / "trace.json";
    const RunResult status = RunPxraid(Virtual(scenario, {"status"}));
    const RunResult run =
        RunPxraid(Virtual(scenario, {"--control-trace", trace.string(), "monitor", "--log-dir",
                                     r.dir.path().string(), "--oneshot"}));
    EXPECT_EQ(run.exitCode, status.exitCode) << run.err;
    EXPECT_EQ(run.OutLines(), Lines(r.dir.path() / "261207.log"));
    // A check, like status: the controller is told nothing.
    EXPECT_TRUE(!fs::exists(trace) || !Contains(ReadBytes(trace), "host_event")) << scenario;
  }
}

// An enclosure that another program starts upgrading once the monitor has
// found it is busy, which is news but no fault: it does not answer because
// it was not asked.
TEST(MonitorAlerts, AnEnclosureAnotherProgramHoldsIsBusyNotUnreadable) {
  const Recorders r;
  std::vector<std::string> args{"--held-elsewhere", "1:firmware@1"};
  for (const std::string& arg : r.Monitor({"--polls", "3", "--exec", r.program.string()}))
    args.push_back(arg);
  const RunResult run = RunPxraid(Virtual("healthy-mirror", args));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(Contains(run.err, "pxraid: EnclosureBusy: D1 is busy: another program holds it\n"))
      << run.err;
  EXPECT_FALSE(Contains(run.err, "StatusUnreadable")) << run.err;
  std::vector<std::string> busy;
  for (const std::string& call : Lines(r.calls)) {
    if (call.rfind("EnclosureBusy", 0) == 0) busy.push_back(call);
  }
  // Told once, however many polls it lasts.
  EXPECT_EQ(
      busy,
      (std::vector<std::string>{"EnclosureBusy 1|info||||D1 is busy: another program holds it"}));
}

TEST(MonitorAlerts, TestRaisesOneAlertPerEnclosureByEveryRoute) {
  const Recorders r;
  const RunResult run = RunPxraid(Virtual(
      "two-enclosures", r.Monitor({"--oneshot", "--test", "--exec", r.program.string(), "--mail",
                                   "ops@example.org", "--sendmail", r.sendmail.string()})));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  std::vector<std::string> tests;
  for (const std::string& call : Lines(r.calls)) {
    if (call.rfind("TestAlert", 0) == 0) tests.push_back(call);
  }
  EXPECT_EQ(tests, (std::vector<std::string>{"TestAlert 1|info||||D1 test alert",
                                             "TestAlert 2|info||||D2 test alert"}));
  std::vector<std::string> subjects;
  for (const auto& mail : Mails(r.mails)) subjects.push_back(Subject(mail));
  EXPECT_EQ(subjects, (std::vector<std::string>{"TestAlert on D1", "TestAlert on D2"}));
}

TEST(MonitorAlerts, UnderTheJournalEveryLineCarriesItsPriority) {
  for (const bool journal : {false, true}) {
    SCOPED_TRACE(journal);
    const Recorders r;
    PxraidProcess process(
        Virtual("failed-member", r.Monitor({"--polls", "1"})), "", {},
        journal ? std::vector<std::string>{"JOURNAL_STREAM="} : std::vector<std::string>{});
    const RunResult run = process.Wait();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::string info = journal ? "<6>" : "";
    std::vector<std::string> expected;
    for (const std::string& line : Lines(r.dir.path() / "261207.log"))
      expected.push_back(info + line);
    EXPECT_EQ(run.OutLines(), expected);
    const std::string critical = journal ? "<2>" : "";
    const std::string notice = journal ? "<5>" : "";
    EXPECT_TRUE(Contains(run.err, "\n" + critical + "pxraid: MemberFailed: D1 P1 failed"))
        << run.err;
    EXPECT_TRUE(Contains(run.err, "\n" + info + "pxraid: EnclosureAdded: D1 enclosure found"))
        << run.err;
    EXPECT_TRUE(Contains(run.err, notice + "pxraid: stopped\n")) << run.err;
  }
}

TEST(Metrics, LabelValuesAreValidUtf8WithQuotesAndBackslashesEscaped) {
  const std::pair<std::string, std::string> cases[] = {
      {"WDC WD10EZEX-00BN5A0", "WDC WD10EZEX-00BN5A0"},
      {"say \"hi\" \\o/", "say \\\"hi\\\" \\\\o/"},
      {"Disque n\xE9o", "Disque n\xEF\xBF\xBDo"},  // Latin-1 e acute
      {"Disque n\xC3\xA9o", "Disque n\xC3\xA9o"},  // the same in UTF-8
      {"cut \xE2\x82", "cut \xEF\xBF\xBD"},        // a sequence cut short
      {"\xC0\xAF overlong", "\xEF\xBF\xBD\xEF\xBF\xBD overlong"},
      {"two\nlines\r", "two lines "},
  };
  for (const auto& [value, escaped] : cases) EXPECT_EQ(monitor::EscapeLabelValue(value), escaped);
}

// An enclosure that did not answer keeps the record of its last reading, a
// rebuild under way included; what that reading said is no percentage now.
TEST(Metrics, ARebuildPercentIsExportedOnlyForAnEnclosureThatAnswered) {
  struct Case {
    const char* name;
    bool statusRead;
    bool rebuildRunning;
    bool exported;
  } cases[] = {
      {"answered, rebuilding", true, true, true},
      {"answered, no rebuild", true, false, false},
      {"did not answer, rebuilding when last read", false, true, false},
  };
  for (const Case& c : cases) {
    monitor::StatusReports reports;
    monitor::EnclosureReport& report = reports.enclosures.emplace_back();
    report.statusRead = c.statusRead;
    report.rebuildRunning = c.rebuildRunning;
    report.direction = "P0 --> P1";
    report.percent = 40;
    const std::vector<std::string> lines = SplitLines(monitor::PrometheusText(reports, 0));
    const bool exported = std::find(lines.begin(), lines.end(),
                                    "pxraid_rebuild_percent{device=\"1\"} 40") != lines.end();
    EXPECT_EQ(exported, c.exported) << c.name;
  }
}

// A textfile folder that cannot be written is said once, not at every poll.
TEST(Metrics, AFolderThatCannotBeWrittenIsComplainedAboutOnce) {
  TempDir dir;
  const fs::path missing = dir.path() / "missing";
  const RunResult run = RunPxraid(
      Virtual("healthy-mirror", {"monitor", "--log-dir", dir.path().string(), "--textfile",
                                 missing.string(), "--interval", "1", "--polls", "3"}));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const std::vector<std::string> lines = SplitLines(run.err);
  EXPECT_EQ(
      std::count_if(lines.begin(), lines.end(),
                    [&](const std::string& line) { return Contains(line, missing.string()); }),
      1)
      << run.err;
}

// A line of the pacing of mail that is not one (edited by hand, cut short)
// stops nothing: the monitor says which line it leaves out, monitors, and
// keeps the other lines, so what was mailed is not mailed again; the file is
// saved without the line.
TEST(MonitorAlerts, ABadLineOfTheMailStateIsLeftOutAndMonitoringGoesOn) {
  const Recorders r;
  const fs::path state = r.dir.path() / monitor::kMailStateName;
  // Mailed at the start of the day (10:00 is 1796637600), due again tomorrow.
  const std::string mailed = "D1 P1 MemberFailed 1796724000 1 WD-WCC3F0000002";
  WriteBytes(state, CrLfJoined({mailed, "Dx - MemberFailed 0 0 S", "D1 P1"}));
  const RunResult run = RunPxraid(
      Virtual("failed-member",
              r.Monitor({"--polls", "2", "--mail", "root", "--sendmail", r.sendmail.string()})));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  for (const char* line : {"2", "3"}) {
    EXPECT_TRUE(Contains(run.err, "pxraid: line " + std::string(line) + " of " + state.string() +
                                      " is not understood and is left out\n"))
        << run.err;
  }
  EXPECT_TRUE(Mails(r.mails).empty());
  EXPECT_EQ(Lines(state), std::vector<std::string>{mailed});
  EXPECT_EQ(run.OutLines(), Lines(r.dir.path() / "261207.log"));
}

TEST(MailPacing, ALineThatIsNotOneIsLeftOutAndTheRestKept) {
  const std::vector<std::string> kept = {
      "D1 P1 MemberFailed 1796637600 1 WD-WCC3F0000002",
      "D4 - MemberRemoved -5 0 ",
      "D2 P0 MemberFailed 0 1 a serial with spaces ",
  };
  const std::vector<std::string> lines = {
      kept[0],
      "Dx - MemberFailed 0 0 S",      // 2: no device number
      "D0 P1 MemberFailed 0 0 S",     // 3: no device 0
      "D99 P1 MemberFailed 0 0 S",    // 4: nor 99
      "D1 P2 MemberFailed 0 0 S",     // 5: no such port
      "D1 P1 MemberFailed soon 0 S",  // 6: no time
      "D1 P1 MemberFailed 0 2 S",     // 7: mailed is 0 or 1
      "D1 P1 MemberFailed 0 0",       // 8: cut short
      "",                             // 9
      "D1  P1 MemberFailed 0 0 S",    // 10: an empty field
      kept[1],
      "D18446744073709551617 P1 X 0 0 S",  // 12: a device beyond any number
      kept[2],
  };
  monitor::MailPacing pacing;
  EXPECT_EQ(pacing.Load(lines), (std::vector<std::size_t>{2, 3, 4, 5, 6, 7, 8, 9, 10, 12}));
  EXPECT_EQ(pacing.Lines(), kept);
}

// Mail pacing over polls at chosen times: a condition found is mailed, again
// a day later while it lasts, forgotten when a poll no longer finds it, and
// kept (but not mailed) while its device does not answer. A mail that did not
// go out is tried again an hour later as what it was, first mail or reminder.
TEST(MailPacing, OnceThenDailyWhileItLasts) {
  struct Poll {
    int64_t at;
    std::vector<std::string> current;  // serials of failed P1 disks on D1
    bool unread;
    std::vector<std::string> mailed;  // serial, " again" for a reminder
    bool sent = true;
  };
  constexpr int64_t kHour = 3600;
  const Poll polls[] = {
      {0, {"A"}, false, {"A"}},
      {kHour, {"A"}, false, {}},
      {24 * kHour - 1, {"A"}, false, {}},
      {24 * kHour, {"A"}, false, {"A again"}},
      {25 * kHour, {}, true, {}},  // unread: still open
      {48 * kHour, {"A"}, false, {"A again"}},
      {49 * kHour, {}, false, {}},                         // gone: forgotten
      {50 * kHour, {"A", "B"}, false, {"A", "B"}, false},  // back, with a second: not sent
      {50 * kHour + 1, {"A", "B"}, false, {}},
      {51 * kHour, {"A", "B"}, false, {"A", "B"}},  // tried again an hour later
      {75 * kHour, {"A", "B"}, false, {"A again", "B again"}, false},
      {76 * kHour, {"A", "B"}, false, {"A again", "B again"}},  // still reminders
  };
  monitor::MailPacing pacing;
  for (const Poll& poll : polls) {
    SCOPED_TRACE(poll.at);
    std::vector<Alert> current;
    for (const std::string& serial : poll.current) {
      current.push_back(
          AlertOf({EnclosureEventKind::MemberFailed, 0,
                   MemberSnapshot{Port::P1, {}, "disk", serial, 0, 0}, std::nullopt}));
    }
    std::vector<std::string> mailed;
    for (const auto& due : pacing.Pace(
             current, poll.unread ? std::vector<std::size_t>{0} : std::vector<std::size_t>{},
             poll.at)) {
      mailed.push_back(due.condition.member->serial + (due.reminder ? " again" : ""));
      pacing.Mailed(due, poll.sent, poll.at);
    }
    EXPECT_EQ(mailed, poll.mailed);
    // What is saved is what is loaded.
    monitor::MailPacing copy;
    copy.Load(pacing.Lines());
    EXPECT_EQ(copy.Lines(), pacing.Lines());
  }
}

}  // namespace
}  // namespace px::test
