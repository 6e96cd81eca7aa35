#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// pxraidd's configuration file, after mdadm.conf: one setting a line, a
// keyword and its value, "#" to the end of a line a comment.
//
//   MAILADDR root@example.org admin@example.org
//   MAILFROM pxraid@example.org
//   PROGRAM /usr/local/sbin/raid-alert
//   TEXTFILE /var/lib/prometheus/node-exporter
//   INTERVAL 4
//
// The command line's options (those of /etc/default/pxraid-monitor among
// them) win over it.

namespace px::service {

inline constexpr char kConfigFile[] = "/etc/pxraid/pxraidd.conf";

struct ServiceConfig {
  std::vector<std::string> mailTo;  // MAILADDR, by spaces or commas
  std::optional<std::string> mailFrom;
  std::optional<std::string> program;
  std::optional<std::string> textfile;
  std::optional<uint32_t> intervalSeconds;  // 0 to 86400, as --interval
  // A line that is not understood, named and left out: "line 3 of FILE: ..."
  std::vector<std::string> complaints;
};

// Reads the configuration's text; `name` names the file in complaints.
ServiceConfig ParseServiceConfig(std::string_view text, const std::string& name);

}  // namespace px::service
