#pragma once

#include <CLI/CLI.hpp>

#include "cli/command.h"
#include "cli/commands.h"

namespace px::cli {

// pxraid monitor's options, which pxraidd takes too.
void AddMonitorOptions(CLI::App& command, MonitorOptions& monitor);

// pxraid monitor: polls here (RunMonitor), or follows pxraidd's events with
// --events.
class MonitorCommand final : public Command {
 public:
  MonitorCommand();

  void AddOptions(CLI::App& command) override;
  int Run(Invocation& run) override;

  // Where the options are read into, for a host that adds its own
  // (pxraid-test's --polls).
  MonitorOptions& options() { return options_; }

 private:
  MonitorOptions options_;
  bool followEvents_ = false;
  bool eventsJson_ = false;
};

}  // namespace px::cli
