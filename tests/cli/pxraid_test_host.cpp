// pxraid-test: pxraid with the options that only tests give it, which the
// shipped pxraid does not take. It is built beside the tests and never
// installed.

#include "cli/app.h"
#include "cli/host.h"
#include "cli/monitor_command.h"
#include "cli/options.h"

namespace {

using namespace px::cli;

void AddTestOptions(Tool& tool) {
  CLI::App& app = tool.app();
  GlobalOptions& global = tool.global();
  // The local date and time the run starts at (2026-12-07T10:00:00): device
  // waits then cost no wall time, and the log's clock moves only by the
  // monitor's intervals.
  app.add_option("--simulate-time", global.simulateTime)->group("");
  // Under --virtual, where to write at exit what the virtual controllers were
  // told through their control sector.
  app.add_option("--control-trace", global.controlTrace)->group("");
  // Under --virtual, physical drives that another program holds, as "N" or
  // "N:firmware", with "@P" after it from status poll P on.
  app.add_option("--held-elsewhere", global.heldElsewhere)->group("");
  // Under --virtual, what every read of the virtual disks really takes
  // (microseconds), so that a process can be caught in the middle of an
  // upgrade.
  app.add_option("--read-latency", global.readLatencyMicros)
      ->group("")
      ->check(Hidden("--read-latency", WholeNumber(0, 1000000)));
  // monitor stops after this many polls, as a stop request would.
  auto& monitor = dynamic_cast<MonitorCommand&>(tool.command("monitor"));
  app.get_subcommand("monitor")
      ->add_option("--polls", monitor.options().polls)
      ->group("")
      ->check(Hidden("--polls", WholeNumber(0, 1000000)));
}

}  // namespace

int main(int argc, char** argv) {
  Tool tool;
  AddTestOptions(tool);
  return tool.Run(argc, argv);
}
