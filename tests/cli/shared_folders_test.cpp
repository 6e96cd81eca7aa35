// monitor as root, as the service and cron run it, among the files of other
// users: in a folder of nobody's, whatever nobody plants under the names the
// monitor uses makes it write, create or read nothing elsewhere; a lock that
// nobody (or another program) keeps stalls no poll, and a stop still ends
// it; a folder anyone may write into is refused.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cli/pxraid_process.h"
#include "common/files.h"
#include "eventlog/log_file.h"
#include "sim/fake_clock.h"
#include "unit/eventlog/log_test_support.h"

namespace px::test {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;
constexpr char kSecret[] = "root's alone\n";

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct Identity {
  std::string bytes;
  mode_t mode = 0;
  uid_t owner = 0;
  bool operator==(const Identity&) const = default;
};

Identity IdentityOf(const fs::path& file) {
  struct stat info {};
  if (::lstat(file.c_str(), &info) != 0) return {};
  return {S_ISREG(info.st_mode) ? ReadBytes(file) : std::string(), info.st_mode, info.st_uid};
}

// A root-only file beside a folder of nobody's, and what root would create
// if a link made it.
struct Scratch {
  Scratch() {
    WriteBytes(secret, kSecret);
    ::chmod(secret.c_str(), 0600);
    fs::create_directory(folder);
    EXPECT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0);
    WriteBytes(sendmail, "#!/bin/sh\ncat >/dev/null\n");
    ::chmod(sendmail.c_str(), 0755);
  }
  // What nobody puts in its folder: a link of its own under `name`.
  void Plant(const std::string& name, const fs::path& target) const {
    fs::create_symlink(target, folder / name);
    EXPECT_EQ(::lchown((folder / name).c_str(), kNobody, kNobody), 0);
  }
  fs::path DayFile() const { return folder / "261207.log"; }
  fs::path OwnFile() const { return OwnLogFile(DayFile(), LogUserName()); }

  TempDir dir;
  fs::path secret = dir.path() / "secret";
  fs::path absent = dir.path() / "made-by-root";
  fs::path folder = dir.path() / "nobody";
  fs::path sendmail = dir.path() / "sendmail";
};

// Another user's program holding `file` locked, as nobody, until the object
// goes.
class HeldByNobody {
 public:
  explicit HeldByNobody(const fs::path& file) {
    const std::string path = file.string();
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
        ::_exit(1);
      }
      const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
      if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
      const char held = 1;
      if (::write(ready[1], &held, 1) != 1) ::_exit(1);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char held = 0;
    held_ = pid_ > 0 && ::read(ready[0], &held, 1) == 1;
    ::close(ready[0]);
  }
  ~HeldByNobody() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  HeldByNobody(const HeldByNobody&) = delete;
  HeldByNobody& operator=(const HeldByNobody&) = delete;
  bool held() const { return held_; }

 private:
  pid_t pid_ = -1;
  bool held_ = false;
};

TEST(MonitorAsRoot, NothingPlantedInAnotherUsersFolderMakesItWriteOrReadElsewhere) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: it is root that must not be misled";
  const std::string link = " (a symbolic link, which is not followed)";
  const std::string own = "; lines go to F/261207-root.log";
  struct Case {
    std::string name;
    bool toTheSecret;  // else to a file root would create
    bool replaced;     // the link itself is replaced by root's own file
    std::string said;  // on standard error, with the folder for F
  };
  const std::vector<Case> cases = {
      {".pxraid.prom.tmp", true, false, ""},
      {"pxraid.prom", true, true, ""},
      {".pxraid.prom.tmp", false, false, ""},
      {"pxlog.lock", false, false, "Cannot lock log folder F" + link + own},
      {"261207.log", true, false, "Cannot read log file F/261207.log" + link + own},
      {"pxraid-mail.state", true, true,
       "cannot read the pacing of mail in F/pxraid-mail.state" + link +
           "; what is found is mailed as news"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + (c.toTheSecret ? " to a root-only file" : " to a file to create"));
    const Scratch s;
    const Identity secret = IdentityOf(s.secret);
    s.Plant(c.name, c.toTheSecret ? s.secret : s.absent);
    const std::string folder = s.folder.string();
    const RunResult run = RunPxraid(
        Virtual("failed-member", {"monitor", "--oneshot", "--log-dir", folder, "--textfile", folder,
                                  "--mail", "root", "--sendmail", s.sendmail.string()}));
    EXPECT_EQ(run.exitCode, 2) << run.err;

    EXPECT_EQ(IdentityOf(s.secret), secret);
    EXPECT_FALSE(fs::exists(fs::symlink_status(s.absent)));
    for (const auto& entry : fs::directory_iterator(s.folder)) {
      EXPECT_FALSE(Contains(IdentityOf(entry.path()).bytes, kSecret)) << entry.path();
    }
    EXPECT_EQ(fs::is_symlink(s.folder / c.name), !c.replaced);
    std::string said = c.said;
    for (std::size_t at; (at = said.find('F')) != std::string::npos;) said.replace(at, 1, folder);
    EXPECT_TRUE(Contains(run.err, said)) << run.err;

    // Everything still reached its file: the day's lines, the metrics for
    // the node exporter's user, the pacing of mail for root alone.
    const fs::path log = Contains(c.said, own) ? s.OwnFile() : s.DayFile();
    EXPECT_TRUE(Contains(ReadBytes(log), "Utitity v0.50.4 has started from")) << log;
    const Identity metrics = IdentityOf(s.folder / "pxraid.prom");
    EXPECT_TRUE(Contains(metrics.bytes, "pxraid_enclosure_health{device=\"1\"} 2"));
    EXPECT_EQ(metrics.mode, S_IFREG | 0644);
    EXPECT_EQ(metrics.owner, 0U);
    const Identity state = IdentityOf(s.folder / "pxraid-mail.state");
    EXPECT_TRUE(Contains(state.bytes, "D1 P1 MemberFailed")) << state.bytes;
    EXPECT_EQ(state.mode, S_IFREG | 0600);
    EXPECT_EQ(state.owner, 0U);
  }
}

// A lock on the log folder that nobody else lets go of: nobody's own lock
// file in its folder, or root's held by another program for longer than
// anyone logs. Polls go on without it, the lines land in root's own file of
// the day (which the monitor says), and SIGTERM ends the monitor.
TEST(MonitorAsRoot, ALockKeptByAnotherStallsNoPollAndAStopStillEndsIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: it is root's monitor that must not stall";
  struct Case {
    const char* name;
    bool nobodys;
    std::string reason;
  };
  const Case cases[] = {
      {"nobody's", true, "owned by another user"},
      {"another program's", false, "held by another program"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Scratch s;
    const fs::path lock = s.folder / kLogLockName;
    std::optional<HeldByNobody> nobody;
    std::optional<FileLock> other;
    sim::FakeClock clock;
    if (c.nobodys) {
      nobody.emplace(lock);
      ASSERT_TRUE(nobody->held());
    } else {
      other.emplace(lock, clock, 0, [] { return false; });
      ASSERT_TRUE(other->Held());
    }
    PxraidProcess monitor(
        Virtual("healthy-mirror", {"monitor", "--log-dir", s.folder.string(), "--interval", "1"}));
    ASSERT_TRUE(
        monitor.ReadUntil([](const std::string& out) { return Contains(out, "has started from"); },
                          std::chrono::seconds(30)));
    monitor.Signal(SIGTERM);
    ASSERT_TRUE(monitor.Ends(std::chrono::seconds(30)));
    const RunResult run = monitor.Wait();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(Contains(run.err, "pxraid: Cannot lock log folder " + s.folder.string() + " (" +
                                      c.reason + "); lines go to " + s.OwnFile().string() + "\n"))
        << run.err;
    EXPECT_TRUE(Contains(run.err, "pxraid: stopped\n")) << run.err;
    EXPECT_TRUE(Contains(ReadBytes(s.OwnFile()), "Utitity v0.50.4 has started from"));
    EXPECT_FALSE(fs::exists(s.DayFile()));
  }
}

// A folder that anyone may write into, and that is not sticky, is no place
// for root's files: the log folder is refused before anything is logged, the
// textfile folder at every poll (once said), while monitoring goes on.
TEST(MonitorAsRoot, AFolderAnyoneMayWriteIntoIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: the rule is root's";
  const std::string open = ": the folder may be written by other users and is not sticky\n";
  struct Case {
    const char* name;
    mode_t logs;
    mode_t metrics;
    int exitCode;
    std::string said;  // L the log folder, M the metrics' folder
  };
  const Case cases[] = {
      {"logs in everyone's folder", 0777, 0755, 1, "pxraid: cannot use the log directory L" + open},
      {"logs in a sticky one", 01777, 0755, 0, ""},
      {"metrics in everyone's folder", 0755, 0777, 0,
       "pxraid: cannot replace M/pxraid.prom" + open},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path logs = dir.path() / "logs";
    const fs::path metrics = dir.path() / "metrics";
    fs::create_directory(logs);
    fs::create_directory(metrics);
    ::chmod(logs.c_str(), c.logs);
    ::chmod(metrics.c_str(), c.metrics);
    const RunResult run =
        RunPxraid(Virtual("healthy-mirror", {"monitor", "--polls", "3", "--log-dir", logs.string(),
                                             "--textfile", metrics.string()}));
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    std::string said = c.said;
    if (const auto at = said.find('L'); at != std::string::npos) said.replace(at, 1, logs.string());
    if (const auto at = said.find('M'); at != std::string::npos) {
      said.replace(at, 1, metrics.string());
    }
    if (!said.empty()) {
      EXPECT_EQ(run.err.find(said), run.err.rfind(said)) << "said once: " << run.err;
    }
    EXPECT_TRUE(Contains(run.err, said)) << run.err;
    EXPECT_EQ(fs::exists(logs / "261207.log"), c.logs != 0777);
    EXPECT_EQ(fs::exists(metrics / "pxraid.prom"), c.metrics != 0777 && c.exitCode == 0);
  }
}

}  // namespace
}  // namespace px::test
