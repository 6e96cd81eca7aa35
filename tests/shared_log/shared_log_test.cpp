// The window and pxraid monitor, or two monitors, share the day's log when
// they log into one folder. Here three processes log into one folder at once;
// each saves after every line, so their saves overlap hundreds of times.

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <map>
#include <string>
#include <vector>

#include "eventlog/log_file.h"
#include "unit/eventlog/log_test_support.h"

extern char** environ;

namespace px {
namespace {

constexpr int kWriters = 3;
constexpr int kLinesEach = 100;

pid_t Start(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  return ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

TEST(SharedLog, ProcessesLoggingIntoOneFolderAtOnceLoseNoLine) {
  test::TempDir dir;
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(Start({LOG_WRITER_EXE, dir.path().string(), "W" + std::to_string(w),
                             std::to_string(kLinesEach)}));
    ASSERT_GT(writers.back(), 0);
  }
  for (const pid_t pid : writers) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    // Exit 0: the writer's own lines were all saved, as far as it knows.
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }

  const std::vector<std::string> lines = SplitLines(test::ReadBytes(dir.path() / "261207.log"));
  std::map<std::string, std::size_t> where;
  std::map<std::string, int> times;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    where[lines[i]] = i;
    ++times[lines[i]];
  }
  int lost = 0;
  int repeated = 0;
  int outOfOrder = 0;
  for (int w = 0; w < kWriters; ++w) {
    std::size_t previous = 0;
    for (int i = 0; i < kLinesEach; ++i) {
      const std::string line = "W" + std::to_string(w) + " line " + std::to_string(i);
      if (times[line] == 0) {
        ++lost;
        continue;
      }
      if (times[line] > 1) ++repeated;
      if (i > 0 && where[line] < previous) ++outOfOrder;
      previous = where[line];
    }
  }
  std::cout << "writers " << kWriters << ", lines " << kWriters * kLinesEach << ", lost " << lost
            << ", repeated " << repeated << ", out of order " << outOfOrder << "\n";
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(repeated, 0);
  EXPECT_EQ(outOfOrder, 0);
  // Besides them only the day's opening rule and the closing rule of its
  // empty information block, from whichever writer came first: no fragment.
  EXPECT_EQ(lines.size(), std::size_t{kWriters * kLinesEach + 2});
  EXPECT_EQ(times[std::string(75, '-')], 1);
  EXPECT_EQ(times[std::string(83, '-')], 1);
}

}  // namespace
}  // namespace px
