#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <string_view>
#include <vector>

#include "cli/command.h"
#include "cli/host.h"

namespace px::cli {

// pxraid's arguments: the options every command takes, and the commands.
// pxraid runs it as it is; pxraid-test, the tests' build of the tool, adds
// its hidden options to app() and to its commands' subcommands before it
// runs.
class Tool {
 public:
  Tool();
  ~Tool();
  Tool(const Tool&) = delete;
  Tool& operator=(const Tool&) = delete;

  CLI::App& app() { return app_; }
  // Where the options every command takes are read into.
  GlobalOptions& global() { return global_; }
  // The command named `name`, which must be one of the tool's.
  Command& command(std::string_view name);

  // Arguments in, exit code out. Usage errors give 2 (3 for status, whose
  // exit codes are a monitoring plugin's).
  int Run(int argc, char** argv);

 private:
  // The command the arguments reached, if they named one.
  Command* Reached();

  CLI::App app_;
  GlobalOptions global_;
  bool quiet_ = false;
  std::vector<std::unique_ptr<Command>> commands_;
};

// The whole of pxraid.
int Run(int argc, char** argv);

}  // namespace px::cli
