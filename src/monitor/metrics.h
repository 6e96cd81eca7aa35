#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "monitor/status_report.h"

namespace px::monitor {

// A label value as the Prometheus text exposition format requires it: valid
// UTF-8, backslash and double quote escaped. Control characters (a line feed
// among them) become spaces, as no device text means one.
std::string EscapeLabelValue(std::string_view value);

// The reports in the Prometheus text exposition format, for a scrape or the
// node exporter's textfile collector:
//   pxraid_enclosure_info{device,enclosure,drive,name,firmware,mode} 1
//   pxraid_member_state{device,enclosure,port,model,serial,state} 1 for the
//     state the member is in, 0 for the three others (only when the status
//     was read); enclosure is the id that follows the enclosure from port to
//     port
//   pxraid_enclosure_health{device} 0-3, as status exits
//   pxraid_rebuild_percent{device} while a rebuild or copy runs
//   pxraid_rebuild_remaining_seconds{device} while one runs and its time
//     left is known
//   pxraid_history_warnings_total{device,warning}, a counter
//   pxraid_status_read_ok{device} 0 or 1
//   pxraid_last_poll_timestamp_seconds, seconds since the epoch; none for a
//     poll that did not finish, so that polls that keep failing go stale
std::string PrometheusText(const StatusReports& reports, std::optional<int64_t> pollUnixSeconds);

// Puts `text` in DIR/pxraid.prom in one rename, so the collector never reads
// half a file. False, with the system's reason, when it could not.
bool WriteTextfile(const std::filesystem::path& directory, std::string_view text,
                   std::string& reason);

// monitor --textfile: the metrics of every poll into DIR/pxraid.prom. A file
// that cannot be written is told to `say` when the reason is new, not at
// every poll.
class TextfileWriter {
 public:
  using Say = std::function<void(const std::string& text)>;
  // An empty directory writes nothing.
  TextfileWriter(std::filesystem::path directory, Say say)
      : directory_(std::move(directory)), say_(std::move(say)) {}
  void Write(const StatusReports& reports, int64_t pollUnixSeconds);

 private:
  std::filesystem::path directory_;
  Say say_;
  std::string lastFailure_;
};

inline constexpr char kTextfileName[] = "pxraid.prom";

}  // namespace px::monitor
