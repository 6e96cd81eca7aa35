#pragma once

#include <atomic>

namespace px::cli {

// How a long-running command learns that the user or the system wants it to
// stop: Ctrl+C, SIGTERM and SIGHUP (the terminal or the SSH session went
// away) on POSIX systems; Ctrl+C, Ctrl+Break, closing the console and
// logging off or shutting down on Windows.
//
// The handler only raises a flag. The command finishes what it is doing (a
// status poll, the host event that says goodbye) and returns normally, so the
// controller is never left with half a knock.
void InstallStopHandler();

// True once a stop was asked for.
bool StopRequested();

// While this lives, a stop request raises `flag` too: the core's flag that
// its waits (for a drive another program holds, for a controller's answer,
// for the log folder's lock) look at, so that none of them holds up a stop.
// A stop asked for before it was made raises the flag at once.
class StopRaises {
 public:
  explicit StopRaises(std::atomic<bool>& flag);
  ~StopRaises();
  StopRaises(const StopRaises&) = delete;
  StopRaises& operator=(const StopRaises&) = delete;

 private:
  std::atomic<bool>* previous_;
};

// A closed standard output (a reader such as head that has seen enough) is
// no reason to stop a command that changes the enclosure: from here to the
// end of the process what it prints then goes nowhere, and the result still
// reaches the exit status and the log. (SIGPIPE is ignored; Windows raises
// no signal for it.)
void IgnoreClosedOutput();

// A firmware upgrade must not be cut short: while this is held a stop
// request, and on POSIX systems SIGQUIT too, is answered with the window's
// own refusal on standard error and otherwise ignored.
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
