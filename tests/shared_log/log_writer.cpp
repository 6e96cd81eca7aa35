// One program of several that log into the same folder: it queues numbered
// lines of its own and runs the event-log writer once for each, as a monitor
// runs it once a poll. Usage: log_writer FOLDER NAME COUNT. Exits 0 when
// every line reached the day's file.

#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "eventlog/event_log.h"
#include "raid/device_table.h"
#include "unit/eventlog/log_test_support.h"

namespace {

class ErrorPanels final : public px::StatusPanels {
 public:
  void SetText(int, std::string_view text) override { std::cerr << text << '\n'; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: log_writer FOLDER NAME COUNT\n";
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  const std::string name = argv[2];
  const int count = std::stoi(argv[3]);

  px::EventLogState state;
  const px::DeviceTable devices;
  px::EnclosureSet enclosures(devices);
  const px::RecordTables records;
  ErrorPanels panels;
  const px::test::FixedFormat format;
  // The others hold the folder's lock for a read and a write at a time: a
  // real clock's wait for it is short.
  px::SteadyClock clock;
  const px::AppFlags flags;
  px::EventLogWriter writer(state, enclosures, records, "Utitity v0.50.4", folder, format, panels,
                            clock, flags);
  for (int i = 0; i < count; ++i) {
    px::QueueLogLine(state, name + " line " + std::to_string(i));
    writer.WriteEventLog(0, {.Now = {2026, 12, 7, 10, 0, 0}});
  }
  return px::UnsavedLineCount(state) == 0 ? 0 : 1;
}
