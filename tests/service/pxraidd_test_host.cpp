// pxraidd-test: pxraidd with the options that only tests give it, which the
// shipped pxraidd does not take. It is built beside the tests and never
// installed; its jobs must run pxraid-test (--pxraid), which takes the same.

#include <string>

#include "cli/options.h"
#include "service/daemon.h"

namespace {

using px::service::Daemon;

void AddTestOptions(Daemon& daemon) {
  CLI::App& app = daemon.app();
  // As pxraid-test's, and passed on to every job's pxraid-test.
  const auto passedOn = [&daemon](const char* option) {
    return [&daemon, option](const std::string& value) {
      daemon.jobArguments().insert(daemon.jobArguments().end(), {option, value});
    };
  };
  app.add_option("--simulate-time", daemon.global().simulateTime)
      ->group("")
      ->each(passedOn("--simulate-time"));
  app.add_option("--read-latency", daemon.global().readLatencyMicros)
      ->group("")
      ->check(px::cli::Hidden("--read-latency", px::cli::WholeNumber(0, 1000000)))
      ->each(passedOn("--read-latency"));
  // Monitoring ends after so many polls, and what the last one found is
  // served until the service is stopped.
  app.add_option("--polls", daemon.monitor().polls)
      ->group("")
      ->check(px::cli::Hidden("--polls", px::cli::WholeNumber(0, 1000000)));
}

}  // namespace

int main(int argc, char** argv) {
  Daemon daemon("test", "pxraid-test");
  AddTestOptions(daemon);
  return daemon.Run(argc, argv);
}
