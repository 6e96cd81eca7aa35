#include "support/logind_stand_in.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace px::test {
namespace {

// Limits that only keep a broken set-up from hanging the suite.
constexpr int kStartLimitMs = 10000;
constexpr int kReleaseLimitMs = 10000;

std::string Errno(const char* what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

}  // namespace

PrivateBus::PrivateBus() {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    failure_ = Errno("pipe", errno);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  // Its complaints about resource limits in a container are no business of
  // the test's.
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  char program[] = "dbus-daemon";
  char session[] = "--session";
  char nofork[] = "--nofork";
  char print[] = "--print-address";
  char* argv[] = {program, session, nofork, print, nullptr};
  const int spawned = posix_spawnp(&pid_, program, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    pid_ = -1;
    ::close(out[0]);
    failure_ = Errno("cannot start dbus-daemon", spawned);
    return;
  }
  std::string line;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartLimitMs);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < giveUp) {
    pollfd fd{out[0], POLLIN, 0};
    if (::poll(&fd, 1, 100) <= 0) continue;
    char buffer[256];
    const ssize_t got = ::read(out[0], buffer, sizeof buffer);
    if (got <= 0) break;
    line.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(out[0]);
  if (const std::size_t end = line.find('\n'); end != std::string::npos && end > 0) {
    address_ = line.substr(0, end);
  } else {
    failure_ = "dbus-daemon --session printed no address";
  }
}

PrivateBus::~PrivateBus() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

LogindStandIn::LogindStandIn(const std::string& address, Answer answer) : answer_(answer) {
  static const sd_bus_vtable kManager[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Inhibit", "ssss", "h", &LogindStandIn::OnInhibit, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};
  int rc = sd_bus_new(&bus_);
  if (rc >= 0) rc = sd_bus_set_address(bus_, address.c_str());
  if (rc >= 0) rc = sd_bus_set_bus_client(bus_, 1);
  if (rc >= 0) rc = sd_bus_start(bus_);
  if (rc >= 0) {
    rc = sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1",
                                  "org.freedesktop.login1.Manager", kManager, this);
  }
  if (rc >= 0) rc = sd_bus_request_name(bus_, "org.freedesktop.login1", 0);
  if (rc < 0) {
    failure_ = Errno("stand-in logind", -rc);
    return;
  }
  thread_ = std::thread([this] { Serve(); });
}

LogindStandIn::~LogindStandIn() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  sd_bus_flush_close_unref(bus_);
  for (const int end : ends_) ::close(end);
}

void LogindStandIn::Serve() {
  while (!stop_) {
    const int processed = sd_bus_process(bus_, nullptr);
    if (processed < 0) return;
    if (processed == 0) sd_bus_wait(bus_, 50000);
  }
}

int LogindStandIn::OnInhibit(sd_bus_message* message, void* self, sd_bus_error*) {
  auto& standIn = *static_cast<LogindStandIn*>(self);
  const char* text[4] = {};
  if (const int rc = sd_bus_message_read(message, "ssss", &text[0], &text[1], &text[2], &text[3]);
      rc < 0) {
    return rc;
  }
  {
    const std::lock_guard lock(standIn.mutex_);
    standIn.calls_.push_back({text[0], text[1], text[2], text[3]});
  }
  if (standIn.answer_ == Answer::Refuse) {
    return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_ACCESS_DENIED, "Permission denied");
  }
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return -errno;
  {
    // Counted before the caller can have the answer.
    const std::lock_guard lock(standIn.mutex_);
    standIn.ends_.push_back(ends[0]);
  }
  // The reply takes a copy of the write end; ours goes at once, so only the
  // caller's copy keeps the pipe from hanging up.
  const int rc = sd_bus_reply_method_return(message, "h", ends[1]);
  ::close(ends[1]);
  return rc;
}

std::vector<LogindStandIn::Call> LogindStandIn::Calls() const {
  const std::lock_guard lock(mutex_);
  return calls_;
}

int LogindStandIn::Held() const {
  const std::lock_guard lock(mutex_);
  int held = 0;
  for (const int end : ends_) {
    pollfd fd{end, POLLIN, 0};
    held += ::poll(&fd, 1, 0) == 0 || (fd.revents & POLLHUP) == 0;
  }
  return held;
}

bool LogindStandIn::AllReleased() const {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReleaseLimitMs);
  while (Held() > 0) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace px::test
