#pragma once

// Servers a test starts on this machine's loopback address, and the little
// HTTP it needs to talk to them.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace px::test {

// Only keeps a broken set-up from hanging the suite.
inline constexpr auto kServerPatience = std::chrono::seconds(60);

// A port on 127.0.0.1 that nothing listened on a moment ago.
uint16_t FreePort();

// The body of a GET of `target` (path and query) on 127.0.0.1:port; empty
// while nothing answers or the answer is not 200.
std::string HttpGet(uint16_t port, const std::string& target);

// A program started with its standard output and error in `log`, for as
// long as the object lives: SIGTERM at the end, SIGKILL if it does not
// heed that in a few seconds.
class ServerProcess {
 public:
  ServerProcess(std::vector<std::string> args, const std::filesystem::path& log);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// Debian's node exporter with only its textfile collector, on `textfiles`.
inline constexpr char kNodeExporter[] = "/usr/bin/prometheus-node-exporter";
std::vector<std::string> NodeExporterArgs(const std::filesystem::path& textfiles, uint16_t port);

// True once `done` holds, false if it did not within the patience.
template <typename Done>
bool WaitFor(Done done, std::chrono::seconds patience = kServerPatience) {
  const auto giveUp = std::chrono::steady_clock::now() + patience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

}  // namespace px::test
