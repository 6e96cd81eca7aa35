#include "cli/pxraid_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "eventlog/log_file.h"

extern char** environ;

namespace px::test {
namespace {

// The options that only pxraid-test takes (pxraid_test_host.cpp).
constexpr std::array<std::string_view, 5> kTestHostOptions{
    "--simulate-time", "--control-trace", "--held-elsewhere", "--read-latency", "--polls"};

void ClosePipe(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

std::string ProgramFor(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    for (const std::string_view option : kTestHostOptions) {
      if (arg == option || arg.starts_with(std::string(option) + "=")) return PXRAID_TEST_EXE;
    }
  }
  return PXRAID_EXE;
}

std::vector<std::string> RunResult::OutLines() const {
  return SplitLines(out);
}

PxraidProcess::PxraidProcess(const std::vector<std::string>& args, const std::string& input,
                             const std::vector<std::string>& launcher,
                             const std::vector<std::string>& added, const std::string& program) {
  int in[2], out[2], err[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  for (const int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
    posix_spawn_file_actions_addclose(&actions, fd);
  }

  std::vector<std::string> storage = launcher;
  storage.push_back(program.empty() ? ProgramFor(args) : program);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : storage) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment{"LC_ALL=C"};
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "LC_", 3) != 0 && std::strncmp(*e, "LANG", 4) != 0 &&
        std::strncmp(*e, "JOURNAL_STREAM=", 15) != 0) {
      environment.emplace_back(*e);
    }
  }
  for (std::string entry : added) {
    if (entry == "JOURNAL_STREAM=") {
      struct stat pipe {};
      ::fstat(err[1], &pipe);
      entry += std::to_string(pipe.st_dev) + ":" + std::to_string(pipe.st_ino);
    }
    environment.push_back(std::move(entry));
  }
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  // The tool starts as it would from a shell, whatever this process ignores
  // or blocks (a runner that ignores SIGPIPE would hide a death by it).
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  const int spawned =
      posix_spawn(&pid_, storage.front().c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned != 0) {
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    throw std::runtime_error(std::string("cannot start pxraid: ") + std::strerror(spawned));
  }
  // The tool's input is small enough for the pipe; closing it is end of
  // input, as a terminal's Ctrl+D.
  if (!input.empty()) {
    [[maybe_unused]] const ssize_t written = ::write(in[1], input.data(), input.size());
  }
  ::close(in[1]);
  out_ = out[0];
  err_ = err[0];
}

PxraidProcess::~PxraidProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  ClosePipe(out_);
  ClosePipe(err_);
}

bool PxraidProcess::Pump(int timeoutMs) {
  if (out_ < 0 && err_ < 0) return false;  // nothing left to wait for
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  const int ready = ::poll(fds, 2, timeoutMs);
  if (ready < 0 && errno != EINTR) return false;
  bool open = false;
  for (int i = 0; i < 2; ++i) {
    int& fd = i == 0 ? out_ : err_;
    if (fd < 0) continue;
    if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char buffer[4096];
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got <= 0) {
        ClosePipe(fd);
        continue;
      }
      (i == 0 ? result_.out : result_.err).append(buffer, static_cast<std::size_t>(got));
    }
    open = true;
  }
  return open;
}

bool PxraidProcess::ReadUntil(const std::function<bool(const std::string& out)>& done,
                              std::chrono::seconds limit) {
  return ReadUntilIn(result_.out, done, limit);
}

bool PxraidProcess::ReadErrorUntil(const std::function<bool(const std::string& err)>& done,
                                   std::chrono::seconds limit) {
  return ReadUntilIn(result_.err, done, limit);
}

bool PxraidProcess::ReadUntilIn(const std::string& text,
                                const std::function<bool(const std::string&)>& done,
                                std::chrono::seconds limit) {
  const auto giveUp = std::chrono::steady_clock::now() + limit;
  while (!done(text)) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    if (!Pump(100)) return done(text);
  }
  return true;
}

bool PxraidProcess::Ends(std::chrono::seconds limit) {
  const auto giveUp = std::chrono::steady_clock::now() + limit;
  while (Pump(100)) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
  }
  return true;
}

void PxraidProcess::CloseOutput() {
  ClosePipe(out_);
}

void PxraidProcess::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

RunResult PxraidProcess::Wait() {
  while (Pump(1000)) {
  }
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  if (WIFEXITED(status)) result_.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result_.signal = WTERMSIG(status);
  return result_;
}

RunResult RunPxraid(const std::vector<std::string>& args, const std::string& input) {
  PxraidProcess process(args, input);
  return process.Wait();
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args) {
  PxraidProcess process(args, "", {}, {}, program);
  return process.Wait();
}

std::vector<std::string> UnprivilegedLauncher() {
  if (::geteuid() != 0) return {};
  return {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
}

std::vector<std::string> Virtual(const std::string& scenario, std::vector<std::string> args) {
  std::vector<std::string> all{"--virtual", scenario, "--simulate-time", kStartTime};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

}  // namespace px::test
