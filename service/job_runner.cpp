#include "service/job_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>

#include "cli/commands.h"
#include "cli/progress_text.h"
#include "common/files.h"

extern char** environ;

namespace px::service {
namespace {

namespace fs = std::filesystem;

// How the firmware commands end a question on standard error (Confirm).
constexpr std::string_view kQuestionEnd = " [y/N] ";

std::string Reason(int error) {
  return std::strerror(error);
}

// The backup the child made, into the client's file from its start.
std::error_code CopyInto(int output, const fs::path& from) {
  const FileContent backup = ReadWholeFile(from, ReadFor::Keeping);
  if (backup.outcome != FileContent::Outcome::Read) {
    return backup.error ? backup.error : std::make_error_code(std::errc::no_such_file_or_directory);
  }
  const std::string& bytes = backup.bytes;
  if (::ftruncate(output, 0) != 0) return {errno, std::generic_category()};
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t wrote =
        ::pwrite(output, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return {errno, std::generic_category()};
    }
    done += static_cast<std::size_t>(wrote);
  }
  if (::fsync(output) != 0) return {errno, std::generic_category()};
  return {};
}

// A folder only this process can reach: the job's copy of the client's file
// and what the child writes live there, and go with the job.
class JobFolder {
 public:
  JobFolder() {
    std::string pattern = (fs::temp_directory_path() / "pxraidd-job-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~JobFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  JobFolder(const JobFolder&) = delete;
  JobFolder& operator=(const JobFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

}  // namespace

JobRunner::JobRunner(JobSpec spec, std::function<void(JobNews)> tell)
    : spec_(std::move(spec)), tell_(std::move(tell)) {
  thread_ = std::thread([this] { Run(); });
}

JobRunner::~JobRunner() {
  if (thread_.joinable()) thread_.join();
  if (spec_.output >= 0) ::close(spec_.output);
}

void JobRunner::Answer(bool yes) {
  const std::lock_guard lock(mutex_);
  if (answers_ < 0) return;
  const char* answer = yes ? "y\n" : "n\n";
  [[maybe_unused]] const ssize_t wrote = ::write(answers_, answer, 2);
}

void JobRunner::Stop() {
  const std::lock_guard lock(mutex_);
  stopping_ = true;
  if (child_ > 0) ::kill(child_, SIGTERM);
}

void JobRunner::Run() {
  const auto fail = [this](const std::string& why) {
    tell_({JobNews::Type::Said, "stderr", "pxraid: " + why, 0, 0});
    tell_({JobNews::Type::Ended, {}, {}, 0, cli::kExitFailed});
  };
  const JobFolder folder;
  if (folder.path().empty()) return fail("cannot make a folder for the job: " + Reason(errno));

  fs::path file;
  if (spec_.kind == JobKind::Backup) {
    file = folder.path() / "backup.bin";
  } else {
    file = folder.path() / spec_.inputName;
    const std::string_view bytes(reinterpret_cast<const char*>(spec_.input.data()),
                                 spec_.input.size());
    // Into the job's own folder: nobody else can have made them first.
    std::error_code error = ReplaceFileBytes(file, bytes, FileAccess::OwnerOnly, false);
    if (!error && !spec_.checksum.empty()) {
      error =
          ReplaceFileBytes(file.string() + ".sha256", spec_.checksum, FileAccess::OwnerOnly, false);
    }
    if (error) return fail("cannot copy the file for the job: " + error.message());
  }

  std::vector<std::string> argv = spec_.program;
  argv.insert(argv.end(), {"firmware", JobKindName(spec_.kind), file.string(), "--enclosure",
                           spec_.enclosureId, "--log-dir", spec_.logDirectory});
  if (spec_.yes && spec_.kind != JobKind::Backup) argv.push_back("--yes");
  if (spec_.noBackup && spec_.kind == JobKind::Upgrade) argv.push_back("--no-backup");
  int code = RunChild(argv, spec_.kind == JobKind::Backup ? std::string() : file.string());

  if (code == cli::kExitOk && spec_.kind == JobKind::Backup) {
    if (const std::error_code error = CopyInto(spec_.output, file)) {
      tell_({JobNews::Type::Said, "stderr",
             "pxraid: cannot write the backup into the file given: " + error.message(), 0, 0});
      code = cli::kExitFailed;
    }
  }
  tell_({JobNews::Type::Ended, {}, {}, 0, code});
}

int JobRunner::RunChild(const std::vector<std::string>& argv, const std::string& copy) {
  // The copy is a file of the job's; its words name the client's file.
  const auto shown = [this, &copy](std::string text) {
    if (copy.empty() || spec_.shownAs.empty()) return text;
    for (std::size_t at = text.find(copy); at != std::string::npos;
         at = text.find(copy, at + spec_.shownAs.size())) {
      text.replace(at, copy.size(), spec_.shownAs);
    }
    return text;
  };
  std::array<int, 2> in{-1, -1};
  std::array<int, 2> out{-1, -1};
  std::array<int, 2> err{-1, -1};
  const auto closeAll = [&] {
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
      if (fd >= 0) ::close(fd);
    }
  };
  if (::pipe2(in.data(), O_CLOEXEC) != 0 || ::pipe2(out.data(), O_CLOEXEC) != 0 ||
      ::pipe2(err.data(), O_CLOEXEC) != 0) {
    const int error = errno;
    closeAll();
    tell_({JobNews::Type::Said, "stderr", "pxraid: cannot run pxraid: " + Reason(error), 0, 0});
    return cli::kExitFailed;
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  // The child starts as a command run by hand would: no signal blocked or
  // ignored that the service blocks or ignores for itself.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  in[0] = out[1] = err[1] = -1;
  if (spawned != 0) {
    closeAll();
    tell_({JobNews::Type::Said, "stderr", "pxraid: cannot run " + argv[0] + ": " + Reason(spawned),
           0, 0});
    return cli::kExitFailed;
  }
  {
    const std::lock_guard lock(mutex_);
    answers_ = in[1];
    child_ = pid;
    if (stopping_) ::kill(child_, SIGTERM);
  }

  // Lines as they come; a question is what is left on standard error when
  // the child stops to read its answer.
  std::array<std::string, 2> pending;
  const std::array<const char*, 2> streams{"stdout", "stderr"};
  std::array<pollfd, 2> fds{{{out[0], POLLIN, 0}, {err[0], POLLIN, 0}}};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got <= 0) {
        if (got < 0 && errno == EINTR) continue;
        fds[i].fd = -1;
        continue;
      }
      pending[i].append(buffer, static_cast<std::size_t>(got));
      for (std::size_t end = pending[i].find('\n'); end != std::string::npos;
           end = pending[i].find('\n')) {
        std::string line = shown(pending[i].substr(0, end));
        pending[i].erase(0, end + 1);
        if (i == 0) {
          if (const std::optional<cli::ProgressReading> progress = cli::ReadProgressText(line)) {
            tell_({JobNews::Type::Progress,
                   {},
                   progress->caption,
                   static_cast<int>(progress->percent),
                   0});
          }
        }
        tell_({JobNews::Type::Said, streams[i], std::move(line), 0, 0});
      }
      if (i == 1 && pending[1].ends_with(kQuestionEnd)) {
        tell_({JobNews::Type::Asked,
               {},
               shown(pending[1].substr(0, pending[1].size() - kQuestionEnd.size())),
               0,
               0});
        pending[1].clear();
      }
    }
  }
  for (std::size_t i = 0; i < pending.size(); ++i) {
    if (!pending[i].empty()) tell_({JobNews::Type::Said, streams[i], shown(pending[i]), 0, 0});
  }
  {
    const std::lock_guard lock(mutex_);
    answers_ = -1;
  }
  // Seen ended but not yet reaped, so that Stop cannot signal a process
  // that has taken its number since.
  siginfo_t ended{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  {
    const std::lock_guard lock(mutex_);
    child_ = -1;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  for (int fd : {out[0], err[0], in[1]}) ::close(fd);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  tell_({JobNews::Type::Said, "stderr",
         "pxraid: the firmware command was ended by signal " + std::to_string(WTERMSIG(status)), 0,
         0});
  return cli::kExitFailed;
}

}  // namespace px::service
