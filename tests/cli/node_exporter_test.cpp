// pxraid monitor --textfile as a fleet's Prometheus sees it: Debian's node
// exporter on a free local port, its textfile collector on the folder the
// monitor writes, scraped over HTTP while the monitor runs.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/local_servers.h"
#include "cli/pxraid_process.h"
#include "eventlog/log_file.h"
#include "unit/eventlog/log_test_support.h"

namespace px::test {
namespace {

namespace fs = std::filesystem;

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
    const ServerProcess exporter(NodeExporterArgs(textfiles, port),
                                 dir.path() / "node-exporter.log");
    ASSERT_TRUE(exporter.started());
    std::string metrics;
    ASSERT_TRUE(WaitFor([&] { return !(metrics = HttpGet(port, "/metrics")).empty(); }))
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
