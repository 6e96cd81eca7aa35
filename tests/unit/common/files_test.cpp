#include "common/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/fake_clock.h"
#include "unit/eventlog/log_test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace px {
namespace {

namespace fs = std::filesystem;

// The lock of a folder that several programs log into: free, held by
// another program (waited for on the clock, then given up on), held while
// this program is closing (not waited for), or in no folder at all (not held,
// and nobody's to blame).
TEST(FileLock, IsWaitedForOnTheClockForNoLongerThanItSays) {
  test::TempDir dir;
  const fs::path file = dir.path() / "pxlog.lock";
  sim::FakeClock clock;
  const auto never = [] { return false; };
  std::optional<FileLock> other;
  struct Case {
    const char* name;
    std::function<void()> arrange;
    fs::path file;
    bool giveUp;
    bool held;
    bool taken;
    uint64_t waited;
  };
  const std::vector<Case> cases = {
      {"free", [] {}, file, false, true, false, 0},
      {"held by another program", [&] { other.emplace(file, clock, 0, never); }, file, false, false,
       true, 3000},
      {"held while closing", [&] { other.emplace(file, clock, 0, never); }, file, true, false, true,
       0},
      {"in no folder", [] {}, dir.path() / "missing" / "pxlog.lock", false, false, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    const uint64_t before = clock.TickMs();
    const FileLock lock(c.file, clock, 3000, [&] { return c.giveUp; });
    EXPECT_EQ(lock.Held(), c.held);
    EXPECT_EQ(lock.Taken(), c.taken);
    EXPECT_EQ(lock.Reason().empty(), c.held) << lock.Reason();
    EXPECT_GE(clock.TickMs() - before, c.waited);
    EXPECT_LT(clock.TickMs() - before, c.waited + 1000);
    other.reset();
  }
#ifndef _WIN32
  // Root's lock file is nobody else's to open, so nobody else can hold it.
  if (::geteuid() == 0) {
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U);
  }
#endif
}

#ifndef _WIN32

constexpr uid_t kNobody = 65534;

// What is read to be kept is read through no link; what is only shown to
// the user who asked for it is read as they would, through one. Neither
// waits for a pipe's writer.
TEST(ReadWholeFile, ShowsWhatALinkLeadsToButKeepsNothingThroughOne) {
  test::TempDir dir;
  test::WriteBytes(dir.path() / "log", "a line\r\n");
  fs::create_symlink(dir.path() / "log", dir.path() / "link");
  ASSERT_EQ(::mkfifo((dir.path() / "pipe").c_str(), 0600), 0);
  struct Case {
    const char* name;
    ReadFor purpose;
    std::optional<FileRefusal> refusal;
  };
  const Case cases[] = {
      {"link", ReadFor::Keeping, FileRefusal::Link},
      {"link", ReadFor::Showing, std::nullopt},
      {"pipe", ReadFor::Keeping, FileRefusal::NotAFile},
      {"pipe", ReadFor::Showing, FileRefusal::NotAFile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.purpose == ReadFor::Keeping ? " kept" : " shown"));
    const FileContent read = ReadWholeFile(dir.path() / c.name, c.purpose);
    if (c.refusal) {
      EXPECT_EQ(read.outcome, FileContent::Outcome::Unreadable);
      EXPECT_EQ(read.error, make_error_code(*c.refusal)) << read.error.message();
    } else {
      EXPECT_EQ(read.outcome, FileContent::Outcome::Read);
      EXPECT_EQ(read.bytes, "a line\r\n");
    }
  }
}

// Each kind of file gets the access its readers need, whatever the umask: a
// log what the file it replaces had, the pacing of mail and a backup 0600,
// the metrics 0644.
TEST(ReplaceFileBytes, GivesEachKindOfFileItsAccessWhateverTheUmask) {
  struct Case {
    const char* name;
    FileAccess access;
    std::optional<mode_t> old;
    mode_t umask;
    mode_t mode;
  };
  const Case cases[] = {
      {"a new log", FileAccess::AsBefore, std::nullopt, 027, 0640},
      {"a log kept private", FileAccess::AsBefore, 0600, 022, 0600},
      {"a log given to a group", FileAccess::AsBefore, 0640, 077, 0640},
      {"the pacing of mail", FileAccess::OwnerOnly, std::nullopt, 0, 0600},
      {"a backup over a file others could read", FileAccess::OwnerOnly, 0644, 022, 0600},
      {"metrics under a strict umask", FileAccess::EveryoneReads, std::nullopt, 077, 0644},
      {"metrics over a private file", FileAccess::EveryoneReads, 0600, 022, 0644},
  };
  // Only root may give a file to any group; anyone else to one of theirs.
  const gid_t group = ::geteuid() == 0 ? 4321 : ::getegid();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const fs::path file = dir.path() / "file";
    if (c.old) {
      test::WriteBytes(file, "old");
      ASSERT_EQ(::chmod(file.c_str(), *c.old), 0);
      ASSERT_EQ(::chown(file.c_str(), static_cast<uid_t>(-1), group), 0);
    }
    const mode_t saved = ::umask(c.umask);
    const std::error_code error = ReplaceFileBytes(file, "new", c.access, true);
    ::umask(saved);
    ASSERT_FALSE(error) << error.message();
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, c.mode);
    if (c.old && c.access == FileAccess::AsBefore) {
      EXPECT_EQ(info.st_gid, group);
    }
    EXPECT_EQ(test::ReadBytes(file), "new");
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"file"});
  }
}

struct Identity {
  std::string bytes;
  mode_t mode;
  uid_t owner;
};

Identity IdentityOf(const fs::path& file) {
  struct stat info {};
  EXPECT_EQ(::lstat(file.c_str(), &info), 0);
  return {test::ReadBytes(file), info.st_mode, info.st_uid};
}

// As root, in a folder of another user's (nobody's), whatever nobody put
// under a file's name: a link to a file only root may read, a second name of
// it, a pipe, a file of nobody's own. Root neither reads it nor takes it for
// its own, never writes through it, and replaces only what holds nobody's
// data in no file (a link, a pipe).
TEST(FilesAsRoot, WhatAnotherUserPutsUnderAFilesNameIsNeitherFollowedNorTaken) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to be root among other users' files";
  test::TempDir dir;
  const fs::path secret = dir.path() / "secret";
  test::WriteBytes(secret, "root's alone\n");
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
  const fs::path folder = dir.path() / "nobody";
  fs::create_directory(folder);
  ASSERT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0);
  const fs::path name = folder / "name";
  struct Case {
    const char* name;
    std::function<void()> plant;
    FileRefusal refusal;
    bool replaced;
  };
  const Case cases[] = {
      {"a link to a root-only file",
       [&] {
         fs::create_symlink(secret, name);
         ASSERT_EQ(::lchown(name.c_str(), kNobody, kNobody), 0);
       },
       FileRefusal::Link, true},
      // As if the system let users link to files they do not own.
      {"a second name of it", [&] { fs::create_hard_link(secret, name); }, FileRefusal::OtherNames,
       false},
      {"a pipe",
       [&] {
         ASSERT_EQ(::mkfifo(name.c_str(), 0666), 0);
         ASSERT_EQ(::chown(name.c_str(), kNobody, kNobody), 0);
       },
       FileRefusal::NotAFile, true},
      {"a file of nobody's",
       [&] {
         test::WriteBytes(name, "nobody's\n");
         ASSERT_EQ(::chown(name.c_str(), kNobody, kNobody), 0);
       },
       FileRefusal::OthersFile, false},
  };
  const Identity before = IdentityOf(secret);
  sim::FakeClock clock;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(name);
    c.plant();
    const FileContent read = ReadWholeFile(name, ReadFor::Keeping);
    EXPECT_EQ(read.outcome, FileContent::Outcome::Unreadable);
    EXPECT_EQ(read.error, make_error_code(c.refusal)) << read.error.message();
    EXPECT_TRUE(read.bytes.empty());
    const FileLock lock(name, clock, 3000, [] { return false; });
    EXPECT_FALSE(lock.Held());
    EXPECT_TRUE(lock.Taken());
    EXPECT_FALSE(OutputFile(name).Good());

    const std::error_code replaced =
        ReplaceFileBytes(name, "root's new\n", FileAccess::AsBefore, true);
    EXPECT_EQ(!replaced, c.replaced) << replaced.message();
    if (c.replaced) {
      const Identity now = IdentityOf(name);
      EXPECT_TRUE(S_ISREG(now.mode));
      EXPECT_EQ(now.owner, 0U);
      EXPECT_EQ(now.bytes, "root's new\n");
    } else {
      EXPECT_EQ(replaced, make_error_code(c.refusal));
    }
    const Identity after = IdentityOf(secret);
    EXPECT_EQ(after.bytes, before.bytes);
    EXPECT_EQ(after.mode, before.mode);
    EXPECT_EQ(after.owner, before.owner);
    EXPECT_EQ(clock.TickMs(), 0U) << "nothing of nobody's is waited for";
  }
}

// As root, a folder that users other than its owner and root may write into,
// and that is not sticky, takes no file: they could swap or remove anything
// put there. Sticky (as /tmp), or written by its owner alone, it does.
TEST(FilesAsRoot, AFolderOthersMayWriteIntoTakesNoFileUnlessItIsSticky) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: the rule is root's";
  struct Case {
    const char* name;
    mode_t mode;
    uid_t owner;
    gid_t group;
    bool refused;
  };
  const Case cases[] = {
      {"everyone's", 0777, 0, 0, true},
      {"everyone's, sticky", 01777, 0, 0, false},
      {"a group's", 0770, 0, 4321, true},
      {"root's group's", 0775, 0, 0, false},
      {"nobody's own", 0755, kNobody, kNobody, false},
  };
  sim::FakeClock clock;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    ASSERT_EQ(::chown(dir.path().c_str(), c.owner, c.group), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), c.mode), 0);
    EXPECT_EQ(CheckFolder(dir.path()) == FileRefusal::OpenFolder, c.refused);
    EXPECT_EQ(ReplaceFileBytes(dir.path() / "file", "x", FileAccess::AsBefore, false) ==
                  FileRefusal::OpenFolder,
              c.refused);
    const FileLock lock(dir.path() / "pxlog.lock", clock, 3000, [] { return false; });
    EXPECT_EQ(lock.Held(), !c.refused);
    EXPECT_FALSE(lock.Taken());
    EXPECT_EQ(CanCreateFilesIn(dir.path()), !c.refused);
    OutputFile output(dir.path() / "recording");
    EXPECT_EQ(output.Good(), !c.refused);
    if (c.refused) {
      EXPECT_TRUE(dir.Entries().empty());
    }
  }
}

#endif

}  // namespace
}  // namespace px
