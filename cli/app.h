#pragma once

#include <CLI/CLI.hpp>

#include "cli/commands.h"

namespace px::cli {

// pxraid monitor's options, which pxraidd takes too.
void AddMonitorOptions(CLI::App& command, MonitorOptions& monitor);

// The whole tool: arguments in, exit code out. Usage errors give 2 (3 for
// status, whose exit codes are a monitoring plugin's).
int Run(int argc, char** argv);

}  // namespace px::cli
