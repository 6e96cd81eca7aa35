#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "common/ui.h"
#include "device/transport.h"

namespace px::app {

class TForm1;

// What differs between the real program and the demo: where the disks come
// from, what to do once the main window is up, and where the day's log goes.
struct AppEnvironment {
  // Called once, before the main window is created. The real program passes
  // CreatePlatformTransport; the demo its virtual bus.
  std::function<std::unique_ptr<px::Transport>()> makeTransport;
  // Called once the main window is shown and its threads run; the demo starts
  // its timeline here. May be empty.
  std::function<void(TForm1&)> onStarted;
  // Empty: the program's directory, or on Linux the state directory when that
  // is not writable.
  std::filesystem::path logDirectory;
  // Null: real message boxes. Tests record them instead of waiting for OK.
  px::Messages* messages = nullptr;
};

// The whole program: the single-instance rule, the application object, the
// four windows, the event loop. Returns 0 in every case, as the program's
// exit code. An application object that already exists (a test's) is used
// as it is.
int RunApplication(int& argc, char** argv, AppEnvironment env);

}  // namespace px::app
