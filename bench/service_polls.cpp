// What a poll costs the window while pxraidd owns the disks: one
// GetManagedObjects of the service's enclosures, their records read back,
// against a pxraidd on a message bus of its own over the virtual
// enclosures. Plain output: the median and the slowest of the calls.
//
//   service_polls [SCENARIO] [CALLS]

#include "bus/service_polls.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

pid_t Spawn(std::vector<std::string> args, const fs::path& output) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void End(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string scenario = argc > 1 ? argv[1] : "two-enclosures";
  const int calls = argc > 2 ? std::atoi(argv[2]) : 500;
  std::string pattern = (fs::temp_directory_path() / "service-polls-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  const fs::path folder = pattern;

  const pid_t daemon = Spawn({"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address",
                              "--address=unix:dir=" + folder.string()},
                             folder / "bus.address");
  std::string address;
  for (const auto giveUp = Clock::now() + std::chrono::seconds(10);
       address.empty() && Clock::now() < giveUp;) {
    std::ifstream(folder / "bus.address") >> address;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const pid_t service = Spawn({PXRAIDD_EXE, "--bus", address, "--virtual", scenario, "--log-dir",
                               (folder / "log").string()},
                              folder / "pxraidd.out");
  for (const auto giveUp = Clock::now() + std::chrono::seconds(60);
       !px::bus::ServiceRuns(address) && Clock::now() < giveUp;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }

  px::bus::ServicePolls polls(address);
  std::vector<double> micros;
  std::size_t enclosures = 0;
  for (int n = 0; n < calls; ++n) {
    const auto start = Clock::now();
    const auto found = polls.Enclosures();
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (!found) {
      std::fprintf(stderr, "service_polls: the service did not answer\n");
      break;
    }
    enclosures = found->size();
  }
  End(service);
  End(daemon);
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  if (micros.size() != static_cast<std::size_t>(calls) || micros.empty()) return 1;
  std::sort(micros.begin(), micros.end());
  std::printf("%s: %zu enclosure(s), %d calls: median %.0f us, 95th %.0f us, slowest %.0f us\n",
              scenario.c_str(), enclosures, calls, micros[micros.size() / 2],
              micros[micros.size() * 95 / 100], micros.back());
  return 0;
}
