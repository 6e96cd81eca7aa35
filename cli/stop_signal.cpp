#include "cli/stop_signal.h"

#include <atomic>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace px::cli {
namespace {

// Lock-free atomics are the only shared state a signal handler may touch.
std::atomic<bool> stopRequested{false};
std::atomic<bool> refusing{false};
std::atomic<bool> stopped{false};
// The core's flag that a stop raises as well, while a StopRaises lives.
std::atomic<std::atomic<bool>*> alsoRaised{nullptr};
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free);

void RaiseStop() {
  stopRequested = true;
  if (std::atomic<bool>* flag = alsoRaised.load()) *flag = true;
}

constexpr char kRefusal[] = "Firmware is upgrading, please wait a moment.\n";

#ifdef _WIN32

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (refusing.load()) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), kRefusal, sizeof kRefusal - 1, &written, nullptr);
    return TRUE;
  }
  RaiseStop();
  // Windows ends the process as soon as the handler returns from these
  // three, so wait for the goodbye to the controller (the system allows a
  // few seconds).
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    for (int waited = 0; waited < 4500 && !stopped.load(); waited += 50) Sleep(50);
  }
  return TRUE;
}

#else

void OnSignal(int) {
  if (refusing.load()) {
    // write() is async-signal-safe; a short write of a notice is no loss.
    [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, kRefusal, sizeof kRefusal - 1);
    return;
  }
  RaiseStop();
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
// During an upgrade SIGQUIT as well, which would end it with a core dump.
constexpr int kRefusedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

struct sigaction OnSignalAction(int flags) {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  return action;
}

// What each refused signal did before the refusal began.
struct sigaction previous[std::size(kRefusedSignals)];

#endif

}  // namespace

void InstallStopHandler() {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
  // No SA_RESTART: a read from the terminal (the upgrade's question) should
  // come back when the user presses Ctrl+C.
  const struct sigaction action = OnSignalAction(0);
  for (const int stop : kStopSignals) sigaction(stop, &action, nullptr);
#endif
}

void IgnoreClosedOutput() {
#ifndef _WIN32
  signal(SIGPIPE, SIG_IGN);
#endif
}

bool StopRequested() {
  return stopRequested.load();
}

StopRaises::StopRaises(std::atomic<bool>& flag) : previous_(alsoRaised.exchange(&flag)) {
  if (stopRequested.load()) flag = true;
}

StopRaises::~StopRaises() {
  alsoRaised = previous_;
}

StopRefusal::StopRefusal() {
  refusing = true;
#ifndef _WIN32
  // SA_RESTART: a refused signal must not break off a device command or a
  // progress line with EINTR.
  const struct sigaction action = OnSignalAction(SA_RESTART);
  for (std::size_t i = 0; i < std::size(kRefusedSignals); ++i) {
    sigaction(kRefusedSignals[i], &action, &previous[i]);
  }
#endif
}

StopRefusal::~StopRefusal() {
#ifndef _WIN32
  for (std::size_t i = 0; i < std::size(kRefusedSignals); ++i) {
    sigaction(kRefusedSignals[i], &previous[i], nullptr);
  }
#endif
  refusing = false;
}

void MarkStopped() {
  stopped = true;
}

}  // namespace px::cli
