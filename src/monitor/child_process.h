#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"

namespace px::monitor {

// How a program run for an alert ended.
struct ChildOutcome {
  enum class Ending { Exited, Signalled, TimedOut, Stopped, NotStarted };
  Ending ending = Ending::NotStarted;
  int code = 0;        // the exit status, the signal, or the system's error
  std::string reason;  // NotStarted: why, in the system's words
  bool Succeeded() const { return ending == Ending::Exited && code == 0; }
  // "exited with status 3", "was killed after 30 s", ...
  std::string Describe(uint32_t timeoutSeconds) const;
};

// Runs argv[0] (looked up in PATH when it has no slash) with argv as its
// arguments, no shell between, and `environment` (NAME=VALUE) added to ours.
// It reads `input` on its standard input and writes to our standard error,
// so that nothing it prints mixes with the log lines on standard output. A
// program still running after `timeoutSeconds` on `clock`, or once
// `stopping` says the monitor is asked to stop, is killed with everything it
// started; none is started once it is stopping.
using Stopping = std::function<bool()>;
ChildOutcome RunChild(const std::vector<std::string>& argv,
                      const std::vector<std::string>& environment, std::string_view input,
                      uint32_t timeoutSeconds, Clock& clock, const Stopping& stopping);

}  // namespace px::monitor
