// A fleet's alert from the disk to the pager: pxraid monitor --textfile,
// Debian's node exporter on that folder, Prometheus scraping it with the
// rules the package ships, Alertmanager routing the alerts to a webhook,
// and the webhook's receiver here in the test. Every server on a free port
// of 127.0.0.1, its files in the test's own folder.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/local_servers.h"
#include "cli/pxraid_process.h"
#include "unit/eventlog/log_test_support.h"

namespace px::test {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr char kPrometheus[] = "/usr/bin/prometheus";
constexpr char kAlertmanager[] = "/usr/bin/prometheus-alertmanager";

// What a webhook receiver of Alertmanager's is: an HTTP server that takes
// POSTs and keeps their bodies, with the time each arrived.
class WebhookReceiver {
 public:
  struct Post {
    Clock::time_point arrived;
    std::string body;
  };

  WebhookReceiver() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    // Port 0: the system picks a free one, and nobody can take it between.
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 8) != 0 || ::pipe2(stop_, O_CLOEXEC) != 0) {
      return;
    }
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~WebhookReceiver() {
    if (thread_.joinable()) {
      [[maybe_unused]] const ssize_t written = ::write(stop_[1], "x", 1);
      thread_.join();
    }
    for (const int fd : {listener_, stop_[0], stop_[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }
  WebhookReceiver(const WebhookReceiver&) = delete;
  WebhookReceiver& operator=(const WebhookReceiver&) = delete;

  uint16_t port() const { return port_; }  // 0 when it could not listen
  std::vector<Post> Posts() const {
    const std::lock_guard lock(mutex_);
    return posts_;
  }

 private:
  void Serve() {
    for (;;) {
      pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents != 0) return;
      if ((fds[0].revents & POLLIN) == 0) continue;
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      // A sender that stalls mid-request must not keep the test from ending.
      const timeval limit{5, 0};
      ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      std::string body;
      if (ReadPost(client, body)) {
        const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        ::send(client, ok.data(), ok.size(), MSG_NOSIGNAL);
        const std::lock_guard lock(mutex_);
        posts_.push_back({Clock::now(), std::move(body)});
      }
      ::close(client);
    }
  }

  // One request whose body has a Content-Length, as Alertmanager sends it.
  static bool ReadPost(int client, std::string& body) {
    std::string request;
    char buffer[16384];
    std::size_t headerEnd = std::string::npos;
    std::size_t length = 0;
    for (;;) {
      if (headerEnd == std::string::npos &&
          (headerEnd = request.find("\r\n\r\n")) != std::string::npos) {
        std::string headers = request.substr(0, headerEnd);
        std::transform(headers.begin(), headers.end(), headers.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        if (headers.rfind("post ", 0) != 0) return false;
        const std::size_t field = headers.find("\r\ncontent-length:");
        if (field == std::string::npos) return false;
        length = std::stoul(headers.substr(field + 17));
      }
      if (headerEnd != std::string::npos && request.size() >= headerEnd + 4 + length) {
        body = request.substr(headerEnd + 4, length);
        return true;
      }
      const ssize_t got = ::read(client, buffer, sizeof buffer);
      if (got <= 0) return false;
      request.append(buffer, static_cast<std::size_t>(got));
    }
  }

  int listener_ = -1;
  int stop_[2] = {-1, -1};
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::vector<Post> posts_;
  std::thread thread_;
};

// Alertmanager sends pxraid's alerts to the webhook a second after the
// first of a group, as the README's route does with its own timings.
constexpr char kAlertmanagerConfig[] = R"(route:
  receiver: default
  routes:
    - matchers: ['alertname=~"Pxraid.*"']
      receiver: pxraid
      group_by: [alertname, instance]
      group_wait: 1s
      group_interval: 1s
      repeat_interval: 1h
receivers:
  - name: default
  - name: pxraid
    webhook_configs:
      - url: http://127.0.0.1:@WEBHOOK@/alerts
)";

constexpr char kPrometheusConfig[] = R"(global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files: ['@RULES@']
alerting:
  alertmanagers:
    - static_configs:
        - targets: ['127.0.0.1:@ALERTMANAGER@']
scrape_configs:
  - job_name: node
    static_configs:
      - targets: ['127.0.0.1:@EXPORTER@']
)";

std::string Fill(std::string text, const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& [name, value] : values) {
    for (std::size_t at; (at = text.find(name)) != std::string::npos;)
      text.replace(at, name.size(), value);
  }
  return text;
}

void Write(const fs::path& file, const std::string& text) {
  std::ofstream(file) << text;
}

std::string Read(const fs::path& file) {
  std::ifstream in(file);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// An API answer as JSON; null while the server does not answer.
json GetJson(uint16_t port, const std::string& target) {
  const std::string body = HttpGet(port, target);
  return body.empty() ? json() : json::parse(body, nullptr, false);
}

// The value at `pointer`, null when there is none (or no answer at all).
json At(const json& document, const char* pointer) {
  const json::json_pointer at(pointer);
  return document.contains(at) ? document[at] : json();
}

std::string Text(const json& document, const char* pointer) {
  const json value = At(document, pointer);
  return value.is_string() ? value.get<std::string>() : std::string();
}

// The failed members the tool itself reports for the scenario.
struct Member {
  std::string device;
  std::string enclosure;  // the id that follows it from port to port
  std::string port;
  std::string serial;
};
std::vector<Member> FailedMembers(const std::string& scenario) {
  const RunResult run = RunPxraid({"--virtual", scenario, "status", "--json"});
  const json status = json::parse(run.out, nullptr, false);
  std::vector<Member> failed;
  for (const json& enclosure : At(status, "/enclosures")) {
    for (const json& member : At(enclosure, "/members")) {
      if (Text(member, "/state") == "failed") {
        failed.push_back({At(enclosure, "/device").dump(), Text(enclosure, "/id"),
                          Text(member, "/port"), Text(member, "/serial")});
      }
    }
  }
  return failed;
}

// The alerts of the webhook posts so far, those with the given name.
std::vector<json> Delivered(const WebhookReceiver& receiver, const std::string& name,
                            Clock::time_point* first = nullptr) {
  std::vector<json> alerts;
  for (const WebhookReceiver::Post& post : receiver.Posts()) {
    for (const json& alert : At(json::parse(post.body, nullptr, false), "/alerts")) {
      if (Text(alert, "/labels/alertname") != name) continue;
      if (first != nullptr && alerts.empty()) *first = post.arrived;
      alerts.push_back(alert);
    }
  }
  return alerts;
}

// The pxraid rule group as Prometheus's API shows it; null while it has none.
json RuleGroup(uint16_t port) {
  for (const json& group : At(GetJson(port, "/api/v1/rules"), "/data/groups")) {
    if (Text(group, "/name") == "pxraid") return group;
  }
  return json();
}

TEST(FleetChain, AlertReachesTheWebhookOnlyForAFailedMember) {
  for (const char* server : {kNodeExporter, kPrometheus, kAlertmanager}) {
    ASSERT_TRUE(fs::exists(server)) << server << " is missing: run scripts/install-deps.sh";
  }
  struct Case {
    const char* scenario;
    bool failing;  // whether a member of it has failed
  };
  const Case cases[] = {{"failed-member", true}, {"two-enclosures", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    const std::vector<Member> failed = FailedMembers(c.scenario);
    ASSERT_EQ(!failed.empty(), c.failing);

    TempDir dir;
    const fs::path textfiles = dir.path() / "textfile";
    fs::create_directory(textfiles);
    const auto logs = [&] {
      std::string all;
      for (const char* name : {"alertmanager.log", "prometheus.log", "node-exporter.log"})
        all += std::string("--- ") + name + "\n" + Read(dir.path() / name);
      return all;
    };

    WebhookReceiver receiver;
    ASSERT_NE(receiver.port(), 0);
    const uint16_t alertmanagerPort = FreePort();
    Write(dir.path() / "alertmanager.yml",
          Fill(kAlertmanagerConfig, {{"@WEBHOOK@", std::to_string(receiver.port())}}));
    // No cluster: it would open a port of its own and look for peers.
    const ServerProcess alertmanager(
        {kAlertmanager, "--config.file=" + (dir.path() / "alertmanager.yml").string(),
         "--storage.path=" + (dir.path() / "alertmanager").string(),
         "--web.listen-address=127.0.0.1:" + std::to_string(alertmanagerPort),
         "--cluster.listen-address="},
        dir.path() / "alertmanager.log");
    ASSERT_TRUE(alertmanager.started());

    const uint16_t exporterPort = FreePort();
    const ServerProcess exporter(NodeExporterArgs(textfiles, exporterPort),
                                 dir.path() / "node-exporter.log");
    ASSERT_TRUE(exporter.started());

    const uint16_t prometheusPort = FreePort();
    Write(dir.path() / "prometheus.yml",
          Fill(kPrometheusConfig, {{"@RULES@", PX_RULES_FILE},
                                   {"@ALERTMANAGER@", std::to_string(alertmanagerPort)},
                                   {"@EXPORTER@", std::to_string(exporterPort)}}));
    const ServerProcess prometheus(
        {kPrometheus, "--config.file=" + (dir.path() / "prometheus.yml").string(),
         "--storage.tsdb.path=" + (dir.path() / "prometheus").string(),
         "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort)},
        dir.path() / "prometheus.log");
    ASSERT_TRUE(prometheus.started());

    // The fleet is up, and Prometheus has scraped the node exporter once,
    // before the enclosure says anything: what follows is the time the
    // alert takes, not the servers' start (Prometheus takes up new targets
    // only every few seconds).
    ASSERT_TRUE(WaitFor([&] {
      return !HttpGet(alertmanagerPort, "/-/ready").empty() &&
             At(GetJson(prometheusPort, "/api/v1/query?query=up"), "/data/result/0/value/1") == "1";
    })) << logs();

    const Clock::time_point started = Clock::now();
    PxraidProcess monitor({"--virtual", c.scenario, "monitor", "--log-dir", dir.path().string(),
                           "--textfile", textfiles.string(), "--interval", "1"});

    if (c.failing) {
      Clock::time_point arrived;
      std::vector<json> alerts;
      ASSERT_TRUE(WaitFor([&] {
        alerts = Delivered(receiver, "PxraidMemberFailed", &arrived);
        return alerts.size() >= failed.size();
      })) << logs();
      const auto ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(arrived - started).count();
      RecordProperty("failure_to_webhook_ms", static_cast<int>(ms));
      std::cout << "failed member to webhook: " << ms << " ms\n";
      for (const Member& member : failed) {
        const auto match = std::find_if(alerts.begin(), alerts.end(), [&](const json& alert) {
          return Text(alert, "/labels/device") == member.device &&
                 Text(alert, "/labels/enclosure") == member.enclosure &&
                 Text(alert, "/labels/port") == member.port &&
                 Text(alert, "/labels/serial") == member.serial;
        });
        ASSERT_TRUE(match != alerts.end())
            << "no alert for D" << member.device << " " << member.port << ", serial "
            << member.serial << ", among:\n"
            << json(alerts).dump(2);
        EXPECT_EQ(Text(*match, "/status"), "firing");
        // The node exporter's address: which machine of the fleet it is.
        EXPECT_EQ(Text(*match, "/labels/instance"), "127.0.0.1:" + std::to_string(exporterPort));
      }
    } else {
      // Prometheus has the enclosures' series, then evaluates the rules:
      // the second evaluation to finish after that began after it, so it
      // saw them; a third for good measure.
      ASSERT_TRUE(WaitFor([&] {
        const json answer = GetJson(prometheusPort, "/api/v1/query?query=pxraid_enclosure_health");
        return !At(answer, "/data/result").empty();
      })) << logs();
      std::string last = Text(RuleGroup(prometheusPort), "/lastEvaluation");
      int evaluations = 0;
      ASSERT_TRUE(WaitFor([&] {
        const std::string now = Text(RuleGroup(prometheusPort), "/lastEvaluation");
        if (now != last) ++evaluations;
        last = now;
        return evaluations >= 3;
      })) << logs();
      const json pending = GetJson(prometheusPort, "/api/v1/alerts");
      EXPECT_EQ(At(pending, "/data/alerts"), json::array()) << pending.dump(2);
      EXPECT_EQ(GetJson(alertmanagerPort, "/api/v2/alerts"), json::array());
      const std::vector<WebhookReceiver::Post> posts = receiver.Posts();
      EXPECT_TRUE(posts.empty()) << posts.front().body;
    }

    // Every rule was evaluated without an error: a rule Prometheus cannot
    // evaluate never fires, and only its API tells.
    const json group = RuleGroup(prometheusPort);
    ASSERT_FALSE(At(group, "/rules").empty()) << logs();
    for (const json& rule : At(group, "/rules")) {
      EXPECT_EQ(Text(rule, "/health"), "ok") << rule.dump(2);
    }

    monitor.Signal(SIGTERM);
    const RunResult run = monitor.Wait();
    EXPECT_EQ(run.exitCode, 0) << run.err;
  }
}

}  // namespace
}  // namespace px::test
