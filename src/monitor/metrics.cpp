#include "monitor/metrics.h"

#include <system_error>

#include "common/files.h"
#include "common/text.h"

namespace px::monitor {

namespace {

struct Family {
  const char* name;
  const char* help;
};

void Head(std::string& out, const Family& family, const char* type = "gauge") {
  out += std::string("# HELP ") + family.name + " " + family.help + "\n";
  out += std::string("# TYPE ") + family.name + " " + type + "\n";
}

std::string Label(const char* name, std::string_view value) {
  return std::string(name) + "=\"" + EscapeLabelValue(value) + "\"";
}

std::string Device(const EnclosureReport& report) {
  return Label("device", std::to_string(report.device));
}

}  // namespace

std::string EscapeLabelValue(std::string_view value) {
  std::string escaped;
  for (const char c : PrintableUtf8(value)) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string PrometheusText(const StatusReports& reports, std::optional<int64_t> pollUnixSeconds) {
  std::string out;
  Head(out, {"pxraid_enclosure_info",
             "An enclosure pxraid found: its number (as the log's D1), the id that follows it "
             "from port to port, physical drive, name, firmware and array mode."});
  for (const EnclosureReport& r : reports.enclosures) {
    out += "pxraid_enclosure_info{" + Device(r) + "," + Label("enclosure", r.id) + "," +
           Label("drive", std::to_string(r.drive.number())) + "," + Label("name", r.name) + "," +
           Label("firmware", r.firmware) + "," + Label("mode", r.mode) + "} 1\n";
  }
  Head(out, {"pxraid_member_state",
             "1 for the state a member disk is in (ready, inserted, absent, failed), 0 for "
             "the others."});
  for (const EnclosureReport& r : reports.enclosures) {
    if (!r.statusRead) continue;
    for (const MemberReport& m : r.members) {
      for (const MemberState state : kMemberStates) {
        out += "pxraid_member_state{" + Device(r) + "," + Label("enclosure", r.id) + "," +
               Label("port", m.port) + "," + Label("model", m.model) + "," +
               Label("serial", m.serial) + "," + Label("state", MemberStateName(state)) + "} " +
               (m.state == state ? "1" : "0") + "\n";
      }
    }
  }
  Head(out, {"pxraid_enclosure_health",
             "0 OK, 1 warning, 2 critical, 3 unknown, as pxraid status exits for the enclosure."});
  for (const EnclosureReport& r : reports.enclosures) {
    out += "pxraid_enclosure_health{" + Device(r) + "} " +
           std::to_string(static_cast<int>(r.health)) + "\n";
  }
  Head(out, {"pxraid_rebuild_percent",
             "How far the rebuild or copy between the members has come; only while one runs."});
  for (const EnclosureReport& r : reports.enclosures) {
    if (!r.statusRead || !r.rebuildRunning) continue;
    out += "pxraid_rebuild_percent{" + Device(r) + "} " + std::to_string(r.percent) + "\n";
  }
  Head(out, {"pxraid_rebuild_remaining_seconds",
             "What the member history estimates the running rebuild or copy has left; only "
             "once its progress, or an earlier rebuild, tells."});
  for (const EnclosureReport& r : reports.enclosures) {
    if (!r.statusRead || !r.rebuildRunning || !r.remainingSeconds) continue;
    out += "pxraid_rebuild_remaining_seconds{" + Device(r) + "} " +
           std::to_string(*r.remainingSeconds) + "\n";
  }
  Head(out,
       {"pxraid_history_warnings_total",
        "The member history's warnings (MembersSwapped, ForeignMember, SmallerMember, "
        "RepeatFailure) raised since pxraid monitor started."},
       "counter");
  for (const EnclosureReport& r : reports.enclosures) {
    for (const auto& [warning, count] : r.warningsRaised) {
      out += "pxraid_history_warnings_total{" + Device(r) + "," + Label("warning", warning) + "} " +
             std::to_string(count) + "\n";
    }
  }
  Head(out, {"pxraid_status_read_ok", "1 when the last poll read the enclosure's status."});
  for (const EnclosureReport& r : reports.enclosures) {
    out += "pxraid_status_read_ok{" + Device(r) + "} " + (r.statusRead ? "1" : "0") + "\n";
  }
  Head(out, {"pxraid_last_poll_timestamp_seconds",
             "When pxraid last polled the enclosures, in seconds since the epoch."});
  if (pollUnixSeconds) {
    out += "pxraid_last_poll_timestamp_seconds " + std::to_string(*pollUnixSeconds) + "\n";
  }
  return out;
}

bool WriteTextfile(const std::filesystem::path& directory, std::string_view text,
                   std::string& reason) {
  // The collector runs as a user of its own and reads only names ending in
  // .prom, which the file being written does not. Nothing is flushed to the
  // disk: a file lost in a power cut is written again by the next poll.
  const std::filesystem::path file = directory / kTextfileName;
  if (const std::error_code error =
          ReplaceFileBytes(file, text, FileAccess::EveryoneReads, false)) {
    reason = "cannot replace " + PathText(file) + ": " + ReasonText(error);
    return false;
  }
  return true;
}

void TextfileWriter::Write(const StatusReports& reports, int64_t pollUnixSeconds) {
  if (directory_.empty()) return;
  std::string reason;
  if (WriteTextfile(directory_, PrometheusText(reports, pollUnixSeconds), reason)) {
    lastFailure_.clear();
  } else if (reason != lastFailure_) {
    lastFailure_ = reason;
    say_(reason);
  }
}

}  // namespace px::monitor
