#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "cli/host.h"
#include "cli/monitor_command.h"

namespace px::service {

// pxraidd's arguments and its run. pxraidd runs it as it is; pxraidd-test,
// the tests' build of the service, adds its hidden options to app() before
// it runs, and hands what the jobs' pxraid must be told of them to
// jobArguments().
class Daemon {
 public:
  // `version` is what --version prints and the bus serves; `pxraid` the
  // program the firmware jobs run unless --pxraid names another.
  Daemon(std::string version, std::string pxraid);
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  CLI::App& app() { return app_; }
  // Where the options shared with pxraid are read into.
  cli::GlobalOptions& global() { return global_; }
  cli::MonitorOptions& monitor() { return monitor_; }
  // Put after the program and its --virtual on every job's command line.
  std::vector<std::string>& jobArguments() { return jobArguments_; }

  // Arguments in, exit code out.
  int Run(int argc, char** argv);

 private:
  int Serve();

  std::string version_;
  CLI::App app_;
  std::string bus_ = "system";
  cli::GlobalOptions global_;
  std::string pxraid_;
  std::string config_;
  cli::MonitorOptions monitor_;
  std::vector<std::string> jobArguments_;
};

}  // namespace px::service
