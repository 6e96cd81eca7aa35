// The history as a service's file lives: killed at any moment, and read by
// another program while it is written.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "history/database.h"
#include "history/history_file.h"
#include "history/reader.h"
#include "history/schema.h"
#include "unit/history/history_test_support.h"

extern char** environ;

namespace px::history {
namespace {

namespace fs = std::filesystem;

// A writer whose standard output the test reads.
struct Writer {
  pid_t pid = -1;
  int output = -1;

  Writer(const fs::path& file, int64_t first, int64_t count = 0) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    const std::string path = file.string();
    const std::string from = std::to_string(first);
    const std::string many = std::to_string(count);
    std::vector<char*> argv = {const_cast<char*>(HISTORY_WRITER_EXE),
                               const_cast<char*>(path.c_str()), const_cast<char*>(from.c_str()),
                               const_cast<char*>(many.c_str()), nullptr};
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    output = pipeFds[0];
  }
  ~Writer() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      Wait();
    }
    if (output >= 0) ::close(output);
  }
  int Wait() {
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
    return status;
  }
  // Waits for its first committed poll.
  void WaitForAPoll() {
    while (text_.find('\n') == std::string::npos && ReadSome()) {
    }
  }
  // The last number it printed, once it has ended.
  std::optional<int64_t> LastPrinted() {
    while (ReadSome()) {
    }
    const auto end = text_.rfind('\n');
    if (end == std::string::npos) return std::nullopt;
    const auto begin = end == 0 ? std::string::npos : text_.rfind('\n', end - 1);
    return std::stoll(text_.substr(begin == std::string::npos ? 0 : begin + 1));
  }

 private:
  bool ReadSome() {
    char buffer[4096];
    const ssize_t got = ::read(output, buffer, sizeof buffer);
    if (got <= 0) return false;
    text_.append(buffer, static_cast<std::size_t>(got));
    return true;
  }
  std::string text_;
};

struct Polls {
  int64_t first = 0;
  int64_t last = 0;
  int64_t count = 0;
};

// The "poll N" events the file holds.
Polls PollsIn(Database& db) {
  Statement query(db.handle(),
                  "SELECT min(CAST(substr(message, 6) AS INTEGER)), "
                  "max(CAST(substr(message, 6) AS INTEGER)), count(*) FROM events WHERE name = "
                  "'Poll'");
  query.Step();
  return {query.Int(0), query.Int(1), query.Int(2)};
}

TEST(HistoryCrash, AKilledWriterLeavesASoundFileLosingAtMostThePollUnderWay) {
  test::TempDir dir;
  const fs::path file = dir.path() / kHistoryFileName;
  const unsigned seed = std::random_device{}();
  std::cout << "seed " << seed << "\n";
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayUs(0, 50000);
  constexpr int kKills = 60;
  int64_t committed = 0;
  int killedBeforeAPoll = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill) + ", seed " + std::to_string(seed));
    if (kill % 20 == 0) {
      // Now and then a file of the older schema, so that some kills land in
      // the step that brings it up to date.
      for (const auto& entry : fs::directory_iterator(dir.path())) fs::remove(entry.path());
      Database db(file.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
      db.Exec("PRAGMA journal_mode = WAL");
      Migrate(db, 1);
      committed = 0;
    }
    Writer writer(file, committed + 1);
    ASSERT_GT(writer.pid, 0);
    // Every other kill comes while it polls, however long it takes to open
    // the file (a sanitizer's build takes long).
    if (kill % 2 == 1) writer.WaitForAPoll();
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
    ::kill(writer.pid, SIGKILL);
    const int status = writer.Wait();
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended before it was killed: " << status;
    const std::optional<int64_t> printed = writer.LastPrinted();
    if (!printed) ++killedBeforeAPoll;

    Database db(file.string(), SQLITE_OPEN_READWRITE);
    ASSERT_EQ(db.Value("PRAGMA integrity_check"), "ok");
    const int version = SchemaVersion(db);
    ASSERT_TRUE(version == 1 || version == LatestSchemaVersion()) << version;
    if (version == 1) {
      ASSERT_FALSE(printed);
      continue;
    }
    const Polls polls = PollsIn(db);
    // What it said it committed is there, and at most the poll it was killed
    // in besides.
    const int64_t said = printed.value_or(committed);
    ASSERT_GE(polls.last, said);
    ASSERT_LE(polls.last, said + 1);
    if (polls.count > 0) {
      ASSERT_EQ(polls.count, polls.last - polls.first + 1) << "a poll lost in between";
      // The poll's event and its rebuild's progress went in together.
      ASSERT_EQ(std::stoll(db.Value("SELECT percent FROM rebuilds ORDER BY id DESC LIMIT 1")),
                polls.last % 100);
    }
    committed = polls.last;
    // A crash is never taken for damage.
    for (const auto& entry : fs::directory_iterator(dir.path()))
      ASSERT_EQ(entry.path().filename().string().rfind("history-", 0), std::string::npos)
          << entry.path();
  }
  std::cout << kKills << " kills, " << killedBeforeAPoll << " before the first poll was written, "
            << committed << " polls in the last file\n";
}

TEST(HistoryConcurrency, AReaderSeesOneWholeStateOfTheFileWhileItIsWritten) {
  test::TempDir dir;
  const fs::path file = dir.path() / kHistoryFileName;
  Writer writer(file, 1, 3000);
  ASSERT_GT(writer.pid, 0);
  int reports = 0;
  int64_t lastSeen = 0;
  for (;;) {
    const bool done = ::waitpid(writer.pid, nullptr, WNOHANG) == writer.pid;
    if (done) writer.pid = -1;
    std::string why;
    const auto reader = HistoryReader::Open(file, why);
    if (reader) {
      const auto report = reader->Report({}, why);
      ASSERT_TRUE(report) << why;
      if (!report->enclosures.empty() && !report->enclosures[0].events.empty()) {
        const EnclosureEntry& enclosure = report->enclosures[0];
        const std::string& message = enclosure.events.back().message;
        const int64_t poll = std::stoll(message.substr(5));
        ASSERT_FALSE(enclosure.rebuilds.empty());
        // The events and the rebuilds are read in one snapshot.
        ASSERT_EQ(enclosure.rebuilds.back().percent, poll % 100) << message;
        ASSERT_EQ(std::stoll(enclosure.events.front().message.substr(5)),
                  poll - static_cast<int64_t>(enclosure.events.size()) + 1);
        ASSERT_GE(poll, lastSeen);
        lastSeen = poll;
        ++reports;
      }
    }
    if (done) break;
  }
  std::cout << reports << " reports while it wrote, the last at poll " << lastSeen << "\n";
  EXPECT_EQ(lastSeen, 3000);
  EXPECT_GT(reports, 1);
}

}  // namespace
}  // namespace px::history
