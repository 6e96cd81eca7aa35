#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/clock.h"
#include "common/ui.h"
#include "core/firmware_jobs.h"
#include "device/transport.h"
#include "eventlog/logged_elsewhere.h"
#include "raid/discovery.h"
#include "raid/polled_elsewhere.h"

namespace px {
class Replayer;
}  // namespace px

namespace px::app {

class TForm1;

// A program's own words on its command line: its name, which its messages
// begin with, its options after the name, as a usage line has them, and
// what --help says of it and of the options only it has.
struct CommandLineHelp {
  std::string program;  // "pxgui"
  std::string usage;    // "[--record FILE | --replay FILE]"
  std::string summary;  // one line
  std::string options;  // lines of "  --option  what it does\n"
};

// --help and --version, answered on standard output before the toolkit
// starts, so that they open no window and need no display: the exit status,
// or nothing when neither was asked for.
std::optional<int> AnswerHelpOrVersion(int argc, char** argv, const CommandLineHelp& help);

// A command line that cannot be run: the problem and the usage line on
// standard error; the exit status, 2.
int UsageError(const CommandLineHelp& help, const std::string& problem);

// What differs between the real program and the demo: where the disks come
// from, what to do once the main window is up, and where the day's log goes.
struct AppEnvironment {
  // Called once, before the main window is created. The real program passes
  // CreatePlatformTransport; the demo its virtual bus.
  std::function<std::unique_ptr<px::Transport>()> makeTransport;
  // Null: the steady clock. A replay passes the recording's clock.
  px::Clock* clock = nullptr;
  // Called once the main window is shown and its threads run; the demo starts
  // its timeline here. May be empty.
  std::function<void(TForm1&)> onStarted;
  // Empty: the program's directory, or on Linux the state directory when that
  // is not writable.
  std::filesystem::path logDirectory;
  // The window keeps a member history beside the logs, as pxraid monitor
  // does, where the build has one.
  bool keepsHistory = true;
  // Null: real message boxes. Tests record them instead of waiting for OK.
  px::Messages* messages = nullptr;
  // For an argument neither the program nor the toolkit takes.
  CommandLineHelp help;
  // How detections probe the drives: side by side, but one by one when the
  // session is recorded or replayed, whose calls are one sequence.
  px::ProbeOrder probeOrder = px::ProbeOrder::SideBySide;
  // While pxraidd owns the disks: its polls, instead of the disks'.
  px::PolledElsewhere* polledElsewhere = nullptr;
  // And its firmware jobs, which the window's upgrade runs as.
  px::FirmwareJobs* firmwareJobs = nullptr;
  // And its day log, which the event log viewer shows.
  px::LoggedElsewhere* loggedElsewhere = nullptr;
};

// Turns the tray's desktop notifications off; the tray icon stays.
inline constexpr char kNoNotifications[] = "--no-notifications";

// The whole program: the single-instance rule, the application object, the
// four windows, the event loop. Takes kNoNotifications out of the arguments;
// the rest are the toolkit's, and one the toolkit does not take either is a
// usage error (exit status 2) before anything else happens. Otherwise
// returns 0 in every case, as the program's exit code. An application object
// that already exists (a test's) is used as it is, with its arguments.
int RunApplication(int& argc, char** argv, AppEnvironment env);

// Under a replay, tells the user once, in a box and on standard error, why
// the replay stopped; the window goes on without drives. The reason may come
// from any thread.
void ReportReplayStops(px::Replayer& replayer, TForm1& form);

}  // namespace px::app
