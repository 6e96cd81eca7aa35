#include "eventlog/log_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <optional>
#include <string>
#include <vector>

#include "eventlog/log_file_system.h"
#include "eventlog/log_time.h"
#include "log_test_support.h"

namespace px {
namespace {

using ::testing::ElementsAre;
using Lines = std::vector<std::string>;

TEST(SplitLines, AcceptsEveryLineEnd) {
  struct Case {
    std::string text;
    Lines lines;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\n", {"a"}},
      {"a\r\nb", {"a", "b"}},
      {"a\nb\rc\r\n", {"a", "b", "c"}},
      {"\r\n", {""}},
      {"a\n\nb", {"a", "", "b"}},
      {"a\r\r\nb", {"a", "", "b"}},
      {"\n\r", {"", ""}},
      {"a\n\r\nb", {"a", "", "b"}},
      {"  P0 is absent. \r\n", {"  P0 is absent. "}},
      {std::string("x\0y\r\n", 5), {std::string("x\0y", 3)}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitLines(c.text), c.lines) << c.text;
}

TEST(ReplaceLogFile, WritesCrLfLinesInPlaceOfTheOldFile) {
  test::TempDir dir;
  const auto file = dir.path() / "261207.log";
  test::WriteBytes(file, "an old and much longer content that must not survive\r\n");

  ASSERT_TRUE(ReplaceLogFile(file, Lines{"first", "", "\xB5 8-bit"}));

  EXPECT_EQ(test::ReadBytes(file), "first\r\n\r\n\xB5 8-bit\r\n");
  EXPECT_THAT(dir.Entries(), ElementsAre("261207.log"));
  ASSERT_TRUE(ReplaceLogFile(file, Lines{}));
  EXPECT_EQ(test::ReadBytes(file), "");
}

TEST(ReplaceLogFile, FailureLeavesNothingBehind) {
  test::TempDir dir;
  // Neither a missing directory nor a directory in the file's place can take
  // the log.
  std::filesystem::create_directory(dir.path() / "261207.log");
  EXPECT_FALSE(ReplaceLogFile(dir.path() / "261207.log", Lines{"line"}));
  EXPECT_FALSE(ReplaceLogFile(dir.path() / "missing" / "261207.log", Lines{"line"}));
  EXPECT_THAT(dir.Entries(), ElementsAre("261207.log"));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "261207.log"));
}

TEST(ReadLogFile, TellsAMissingFileFromOneThatCannotBeRead) {
  test::TempDir dir;
  test::WriteBytes(dir.path() / "a.log", "one\r\ntwo\r\n");
  std::filesystem::create_directory(dir.path() / "folder.log");
  struct Case {
    std::filesystem::path file;
    LogFileRead::Outcome outcome;
    Lines lines;
  } cases[] = {
      {dir.path() / "a.log", LogFileRead::Outcome::Read, {"one", "two"}},
      {dir.path() / "missing.log", LogFileRead::Outcome::Missing, {}},
      {dir.path() / "no-folder" / "missing.log", LogFileRead::Outcome::Missing, {}},
      {dir.path() / "folder.log", LogFileRead::Outcome::Unreadable, {}},
  };
  for (const auto& c : cases) {
    const LogFileRead read = ReadLogFile(c.file);
    EXPECT_EQ(read.outcome, c.outcome) << c.file;
    EXPECT_EQ(read.lines, c.lines) << c.file;
    // Only a file that is there but unreadable has a reason to give.
    EXPECT_EQ(!read.error, c.outcome != LogFileRead::Outcome::Unreadable) << c.file;
  }
}

TEST(OwnLogFile, TheUsersNameGoesBeforeTheExtension) {
  EXPECT_EQ(OwnLogFile(std::filesystem::path("logs") / "261207.log", "ann"),
            std::filesystem::path("logs") / "261207-ann.log");
}

#ifndef _WIN32
// A log the user gave to a group, or made private, stays so. Root, though,
// never takes another user's file for a log of its own: it would give them
// what root writes, or put root's lines where they expect their own.
TEST(ReplaceLogFile, KeepsTheFilesModeAndGroupAndLeavesAnotherUsersFileAloneAsRoot) {
  const bool root = ::geteuid() == 0;
  struct Case {
    const char* name;
    uid_t owner;
    gid_t group;
    bool replaced;
  };
  // Only root may give a file away, or to any group; anyone else keeps to
  // what they may do.
  std::vector<Case> cases = {{"ours", ::geteuid(), root ? 4321 : ::getegid(), true}};
  if (root) cases.push_back({"another user's", 4321, 4321, false});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const auto file = dir.path() / "261207.log";
    test::WriteBytes(file, "old\r\n");
    ::chmod(file.c_str(), 0640);
    ASSERT_EQ(::chown(file.c_str(), c.owner, c.group), 0);
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);

    EXPECT_EQ(ReplaceLogFile(file, Lines{"new"}), c.replaced);

    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640U);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(after.st_ino != before.st_ino, c.replaced);
    EXPECT_EQ(test::ReadBytes(file), c.replaced ? "new\r\n" : "old\r\n");
    EXPECT_THAT(dir.Entries(), ElementsAre("261207.log"));
  }
}
#endif

TEST(ReadLogLines, ReadsWhatWasWrittenAndRefusesWhatIsNoFile) {
  test::TempDir dir;
  const Lines lines = {"Device1 information :", "  P1 is absent. ", ""};
  ASSERT_TRUE(ReplaceLogFile(dir.path() / "a.log", lines));
  EXPECT_EQ(ReadLogLines(dir.path() / "a.log"), lines);
  EXPECT_EQ(ReadLogLines(dir.path() / "missing.log"), std::nullopt);
  std::filesystem::create_directory(dir.path() / "folder.log");
  EXPECT_EQ(ReadLogLines(dir.path() / "folder.log"), std::nullopt);
}

TEST(LogTime, TimestampsAndFileNames) {
  struct Case {
    LogTime time;
    std::string timestamp;
    std::string fileName;
  } cases[] = {
      {{2026, 12, 7, 14, 3, 9}, "2026/12/07 14:03:09", "261207.log"},
      // Exactly midnight is written as the date alone; a second later is not.
      {{2026, 12, 8, 0, 0, 0}, "2026/12/08", "261208.log"},
      {{2026, 12, 8, 0, 0, 1}, "2026/12/08 00:00:01", "261208.log"},
      {{2026, 12, 8, 12, 0, 0}, "2026/12/08 12:00:00", "261208.log"},
      {{2000, 1, 5, 23, 59, 59}, "2000/01/05 23:59:59", "000105.log"},
      {{1999, 10, 31, 0, 0, 59}, "1999/10/31 00:00:59", "991031.log"},
  };
  const test::FixedFormat format;
  for (const auto& c : cases) {
    EXPECT_EQ(FormatTimestamp(c.time, format), c.timestamp);
    EXPECT_EQ(LogFileName(c.time), c.fileName);
  }
}

// The system's own short date and long time, for a locale every system has.
TEST(SystemDateFormat, TheSystemsShortDateAndLongTime) {
  struct Case {
    std::string locale, afternoon, midnight;
  } cases[] = {
#ifdef _WIN32
      {"en-US", "12/7/2026 3:04:05 PM", "12/8/2026"},
#else
      {"C", "12/07/26 15:04:05", "12/08/26"},
      // One the C library does not know formats as its own.
      {"xx_NOWHERE", "12/07/26 15:04:05", "12/08/26"},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.locale);
    const SystemDateFormat format(c.locale);
    EXPECT_EQ(FormatTimestamp({2026, 12, 7, 15, 4, 5}, format), c.afternoon);
    EXPECT_EQ(FormatTimestamp({2026, 12, 8, 0, 0, 0}, format), c.midnight);
  }
}

// Root logs where the service does, whatever the program's folder; anyone
// else beside the program when that folder is theirs, as the window always
// has, but never in a system folder; else in their state directory.
TEST(LogDirectoryFor, RootLogsWhereTheServiceDoesAndNobodyInASystemFolder) {
  const std::string state = "/home/ann/.local/state/pxgui";
  struct Case {
    const char* name;
    LogPlace place;
    std::string chosen;
  };
  const Case cases[] = {
      {"root, installed",
       {"/usr/bin", false, true, "/root/.local/state/pxgui"},
       kSystemLogDirectory},
      {"root, in its own build", {"/root/px/build/cli", true, true, ""}, kSystemLogDirectory},
      {"root, under /opt", {"/opt/pxraid/bin", true, true, ""}, kSystemLogDirectory},
      {"a user, installed", {"/usr/bin", false, false, state}, state},
      {"a user's own folder under /opt", {"/opt/pxgui/bin", true, false, state}, state},
      {"a user's own folder under /usr", {"/usr/local/bin", true, false, state}, state},
      {"the same by a detour", {"/home/../usr/local/bin", true, false, state}, state},
      {"a user's own build",
       {"/home/ann/px/build/app", true, false, state},
       "/home/ann/px/build/app"},
      {"a folder that is not the user's", {"/srv/tools", false, false, state}, state},
      {"/usrx is no system folder", {"/usrx/bin", true, false, state}, "/usrx/bin"},
      {"no state directory, a system folder", {"/usr/bin", false, false, ""}, ""},
      {"no state directory, elsewhere", {"/srv/tools", false, false, ""}, "/srv/tools"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LogDirectoryFor(c.place), std::filesystem::path(c.chosen)) << c.name;
  }
}

#ifndef _WIN32
TEST(UserStateDirectory, FollowsTheXdgRules) {
  struct Case {
    const char* xdgStateHome;
    const char* home;
    const char* directory;
  } cases[] = {
      {"/var/state", "/home/ann", "/var/state/pxgui"},
      {"", "/home/ann", "/home/ann/.local/state/pxgui"},
      // Relative values are to be ignored.
      {"state", "/home/ann", "/home/ann/.local/state/pxgui"},
      {"", "", ""},
      {"", "ann", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(UserStateDirectory(c.xdgStateHome, c.home), std::filesystem::path(c.directory))
        << c.xdgStateHome << " " << c.home;
}

// What this process's choice goes by: whether it is root, and whether the
// program's folder is the user's own, found out without leaving anything
// there.
TEST(ThisLogPlace, TellsRootAndTheUsersOwnFolder) {
  test::TempDir dir;
  const bool root = ::geteuid() == 0;
  const LogPlace place = detail::ThisLogPlace(dir.path());
  EXPECT_EQ(place.root, root);
  // Root is not asked: it logs in the system's folder whatever this is.
  EXPECT_EQ(place.programDirectoryOwn, !root);
  EXPECT_FALSE(detail::ThisLogPlace(dir.path() / "missing").programDirectoryOwn);
  EXPECT_TRUE(dir.Entries().empty());
}
#endif

}  // namespace
}  // namespace px
