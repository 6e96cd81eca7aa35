#pragma once

namespace px::cli {

// How a long-running command learns that the user or the system wants it to
// stop: Ctrl+C and SIGTERM on POSIX systems; Ctrl+C, Ctrl+Break, closing the
// console and logging off or shutting down on Windows.
//
// The handler only raises a flag. The command finishes what it is doing (a
// status poll, the host event that says goodbye) and returns normally, so the
// controller is never left with half a knock.
void InstallStopHandler();

// True once a stop was asked for.
bool StopRequested();

// A firmware upgrade must not be cut short: while this is held a stop request
// is answered with the window's own refusal on standard error and otherwise
// ignored.
class StopRefusal {
 public:
  StopRefusal();
  ~StopRefusal();
  StopRefusal(const StopRefusal&) = delete;
  StopRefusal& operator=(const StopRefusal&) = delete;
};

// The command has finished its goodbye; on Windows a console that is being
// closed waits for this (a little while) before the process is ended.
void MarkStopped();

}  // namespace px::cli
