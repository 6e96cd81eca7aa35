// pxraidd's configuration file: each setting as it reads, and a line it does
// not understand named and left out, not the reason to stop.

#include <gtest/gtest.h>

#include "service/config_file.h"

namespace px::service {
namespace {

TEST(ServiceConfig, ReadsEachSettingAndNamesWhatItLeavesOut) {
  const ServiceConfig config = ParseServiceConfig(
      "# a comment\n"
      "MAILADDR root@example.org, admin@example.org  ops@example.org\n"
      "\tMAILFROM pxraid@example.org   # the sender\n"
      "PROGRAM /usr/local/sbin/raid alert\n"
      "TEXTFILE /var/lib/prometheus/node-exporter\n"
      "INTERVAL 10\n"
      "INTERVAL ten\n"
      "INTERVAL 86401\n"
      "MAILADDR\n"
      "MAILTO root\n",
      "pxraidd.conf");
  EXPECT_EQ(config.mailTo,
            (std::vector<std::string>{"root@example.org", "admin@example.org", "ops@example.org"}));
  EXPECT_EQ(config.mailFrom, "pxraid@example.org");
  EXPECT_EQ(config.program, "/usr/local/sbin/raid alert");
  EXPECT_EQ(config.textfile, "/var/lib/prometheus/node-exporter");
  EXPECT_EQ(config.intervalSeconds, 10U);
  EXPECT_EQ(config.complaints,
            (std::vector<std::string>{
                "line 7 of pxraidd.conf: INTERVAL ten is not a number of seconds from 0 to 86400; "
                "it is left out",
                "line 8 of pxraidd.conf: INTERVAL 86401 is not a number of seconds from 0 to "
                "86400; it is left out",
                "line 9 of pxraidd.conf: MAILADDR has no value; it is left out",
                "line 10 of pxraidd.conf: MAILTO is no setting (MAILADDR, MAILFROM, PROGRAM, "
                "TEXTFILE, INTERVAL); it is left out"}));
}

}  // namespace
}  // namespace px::service
