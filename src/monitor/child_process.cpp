#include "monitor/child_process.h"

#include <cstring>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace px::monitor {

std::string ChildOutcome::Describe(uint32_t timeoutSeconds) const {
  switch (ending) {
    case Ending::Exited:
      return "exited with status " + std::to_string(code);
    case Ending::Signalled:
      return "was ended by signal " + std::to_string(code);
    case Ending::TimedOut:
      return "did not end within " + std::to_string(timeoutSeconds) + " s and was killed";
    case Ending::Stopped:
      return "was not run to its end: pxraid was asked to stop";
    case Ending::NotStarted:
      break;
  }
  return "could not be started: " + reason;
}

#ifdef _WIN32

ChildOutcome RunChild(const std::vector<std::string>&, const std::vector<std::string>&,
                      std::string_view, uint32_t, Clock&, const Stopping&) {
  return {ChildOutcome::Ending::NotStarted, 0, "not available on Windows"};
}

#else

namespace {

constexpr uint32_t kWaitSliceMs = 10;

std::string NameOf(const std::string& entry) {
  return entry.substr(0, entry.find('='));
}

// Ours, less the names `added` sets, then `added`.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& added) {
  std::vector<std::string> all;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    bool replaced = false;
    for (const std::string& a : added) replaced = replaced || NameOf(a) == NameOf(entry);
    if (!replaced) all.push_back(entry);
  }
  all.insert(all.end(), added.begin(), added.end());
  return all;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

ChildOutcome Ended(int status) {
  if (WIFSIGNALED(status)) return {ChildOutcome::Ending::Signalled, WTERMSIG(status), {}};
  return {ChildOutcome::Ending::Exited, WEXITSTATUS(status), {}};
}

}  // namespace

ChildOutcome RunChild(const std::vector<std::string>& argv,
                      const std::vector<std::string>& environment, std::string_view input,
                      uint32_t timeoutSeconds, Clock& clock, const Stopping& stopping) {
  if (stopping()) return {ChildOutcome::Ending::Stopped, 0, {}};
  // The input goes through a socket, not a pipe: a program that ends
  // without reading it then costs a failed send (MSG_NOSIGNAL), not our
  // life by SIGPIPE, and a full buffer never blocks us.
  int channel[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
    return {ChildOutcome::Ending::NotStarted, errno, std::strerror(errno)};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, channel[1], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  // Nothing of ours beyond the three streams: a program that hangs must not
  // keep a disk's lock or the log folder's open.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

  // Its own process group, so that a time-out ends whatever it started too;
  // our signal dispositions and mask are not its business.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  std::vector<std::string> args = argv;
  std::vector<std::string> env = ChildEnvironment(environment);
  std::vector<char*> argp = Pointers(args);
  std::vector<char*> envp = Pointers(env);
  pid_t pid = -1;
  const int spawned =
      posix_spawnp(&pid, args.front().c_str(), &actions, &attributes, argp.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(channel[1]);
  if (spawned != 0) {
    ::close(channel[0]);
    return {ChildOutcome::Ending::NotStarted, spawned, std::strerror(spawned)};
  }

  std::size_t sent = 0;
  if (input.empty()) ::shutdown(channel[0], SHUT_WR);
  const uint64_t start = clock.TickMs();
  const uint64_t limit = uint64_t{timeoutSeconds} * 1000;
  ChildOutcome outcome{ChildOutcome::Ending::TimedOut, 0, {}};
  for (;;) {
    if (sent < input.size()) {
      const ssize_t n =
          ::send(channel[0], input.data() + sent, input.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) sent = input.size();  // it stopped reading
      if (sent == input.size()) ::shutdown(channel[0], SHUT_WR);
    }
    int status = 0;
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == pid) {
      outcome = Ended(status);
      break;
    }
    // A stop is answered at once, not after the program's time.
    const bool stop = stopping();
    if (stop) outcome.ending = ChildOutcome::Ending::Stopped;
    if (stop || clock.TickMs() - start >= limit) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    clock.SleepMs(kWaitSliceMs);
  }
  ::close(channel[0]);
  return outcome;
}

#endif

}  // namespace px::monitor
