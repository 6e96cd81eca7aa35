// pxraid monitor --textfile as a fleet's Prometheus sees it: Debian's node
// exporter on a free local port, its textfile collector on the folder the
// monitor writes, scraped over HTTP while the monitor runs.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cli/pxraid_process.h"
#include "eventlog/log_file.h"
#include "unit/eventlog/log_test_support.h"

extern char** environ;

namespace px::test {
namespace {

namespace fs = std::filesystem;

constexpr char kNodeExporter[] = "/usr/bin/prometheus-node-exporter";
// Only keeps a broken set-up from hanging the suite.
constexpr auto kPatience = std::chrono::seconds(60);

uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// The body of GET /metrics; empty while nothing answers.
std::string Scrape(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
      char buffer[65536];
      for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
        reply.append(buffer, static_cast<std::size_t>(got));
      }
    }
  }
  ::close(fd);
  const std::size_t body = reply.find("\r\n\r\n");
  return reply.rfind("HTTP/1.0 200", 0) == 0 && body != std::string::npos ? reply.substr(body + 4)
                                                                          : std::string();
}

// The node exporter with only its textfile collector, for as long as the
// object lives.
class NodeExporter {
 public:
  NodeExporter(const fs::path& textfiles, uint16_t port, const fs::path& log) {
    std::vector<std::string> args{kNodeExporter,
                                  "--web.listen-address=127.0.0.1:" + std::to_string(port),
                                  "--collector.disable-defaults", "--collector.textfile",
                                  "--collector.textfile.directory=" + textfiles.string()};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    started_ = posix_spawn(&pid_, kNodeExporter, &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~NodeExporter() {
    if (!started_) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  NodeExporter(const NodeExporter&) = delete;
  NodeExporter& operator=(const NodeExporter&) = delete;
  bool started() const { return started_; }

 private:
  pid_t pid_ = -1;
  bool started_ = false;
};

template <typename Done>
bool WaitFor(Done done) {
  const auto giveUp = std::chrono::steady_clock::now() + kPatience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(NodeExporter, ScrapesWhatTheMonitorWrites) {
  ASSERT_TRUE(fs::exists(kNodeExporter)) << "run scripts/install-deps.sh";
  struct Case {
    const char* scenario;
    std::vector<std::string> series;  // as the node exporter serves them
  };
  const std::string mirror =
      "pxraid_enclosure_info{device=\"1\",drive=\"1\",enclosure=\"virtual-1\","
      "firmware=\"140318.5\",mode=\"Mirror\",name=\"PX RAID1 Dual Bay\"} 1";
  const auto member = [](const char* port, const char* model, const char* serial, const char* state,
                         int value) {
    return std::string("pxraid_member_state{device=\"1\",enclosure=\"virtual-1\",model=\"") +
           model + "\",port=\"" + port + "\",serial=\"" + serial + "\",state=\"" + state + "\"} " +
           std::to_string(value);
  };
  const Case cases[] = {
      {"failed-member",
       {mirror, member("P1", "WDC WD10EZEX-00BN5A0", "WD-WCC3F0000002", "failed", 1),
        member("P1", "WDC WD10EZEX-00BN5A0", "WD-WCC3F0000002", "ready", 0),
        member("P0", "WDC WD10EZEX-00BN5A0", "WD-WCC3F0000001", "ready", 1),
        "pxraid_enclosure_health{device=\"1\"} 2", "pxraid_status_read_ok{device=\"1\"} 1",
        "node_textfile_scrape_error 0"}},
      // A model given in Latin-1 reaches Prometheus as valid UTF-8.
      {"latin1-model",
       {mirror, member("P1", "Disque n\xEF\xBF\xBDo 1TB", "WD-WCC3F0000002", "ready", 1),
        "pxraid_enclosure_health{device=\"1\"} 0", "node_textfile_scrape_error 0"}},
      {"rebuilding-mirror",
       {"pxraid_rebuild_percent{device=\"1\"} 40", "pxraid_enclosure_health{device=\"1\"} 1",
        "node_textfile_scrape_error 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    TempDir dir;
    const fs::path textfiles = dir.path() / "textfile";
    fs::create_directory(textfiles);
    const auto before = std::chrono::system_clock::now();
    // The monitor on real time, polling every second, until told to stop.
    PxraidProcess monitor({"--virtual", c.scenario, "monitor", "--log-dir", dir.path().string(),
                           "--textfile", textfiles.string(), "--interval", "1"});
    ASSERT_TRUE(WaitFor([&] { return fs::exists(textfiles / "pxraid.prom"); }));

    const uint16_t port = FreePort();
    const NodeExporter exporter(textfiles, port, dir.path() / "node-exporter.log");
    ASSERT_TRUE(exporter.started());
    std::string metrics;
    ASSERT_TRUE(WaitFor([&] { return !(metrics = Scrape(port)).empty(); }))
        << ReadBytes(dir.path() / "node-exporter.log");
    const std::vector<std::string> lines = SplitLines(metrics);
    for (const std::string& series : c.series)
      EXPECT_TRUE(Has(lines, series)) << series << "\n" << metrics;

    // The last poll's time, which the node exporter writes as a float.
    const std::string stamp = "pxraid_last_poll_timestamp_seconds ";
    const auto line = std::find_if(lines.begin(), lines.end(),
                                   [&](const std::string& l) { return l.rfind(stamp, 0) == 0; });
    ASSERT_NE(line, lines.end()) << metrics;
    const double polled = std::stod(line->substr(stamp.size()));
    const auto seconds = [](auto t) {
      return std::chrono::duration<double>(t.time_since_epoch()).count();
    };
    EXPECT_GE(polled, std::floor(seconds(before)));
    EXPECT_LE(polled, seconds(std::chrono::system_clock::now()));

    monitor.Signal(SIGTERM);
    const RunResult run = monitor.Wait();
    EXPECT_EQ(run.exitCode, 0) << run.err;
  }
}

}  // namespace
}  // namespace px::test
