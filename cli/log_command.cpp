#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "cli/command.h"
#include "cli/commands.h"
#include "cli/host.h"
#include "cli/log_date.h"
#include "cli/options.h"
#include "cli/stop_signal.h"
#include "common/text.h"
#include "eventlog/log_file.h"
#include "eventlog/log_time.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace px::cli {
namespace {

namespace fs = std::filesystem;

struct LogOptions {
  std::string logDir;
  std::string date;  // YYMMDD; empty for today
  bool follow = false;
};

// The writer replaces the day's file as a whole after each change; looking
// twice a second shows a new line soon enough without keeping the disk busy.
constexpr uint64_t kFollowMs = 500;

fs::path ProgramDirectory() {
  std::error_code error;
#ifdef _WIN32
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (length > 0 && length < path.size()) {
    path.resize(length);
    return fs::path(path).parent_path();
  }
#else
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (!error) return self.parent_path();
#endif
  return fs::current_path(error);
}

// Why the day's file could not be read. What stands in the way is named: the
// folder when the file cannot even be looked at, else the file itself.
std::string Unreadable(const LogFileRead& read, const fs::path& file) {
  std::error_code error;
  [[maybe_unused]] const fs::file_status looked = fs::symlink_status(file, error);
  if (error) return "cannot read " + PathText(file.parent_path()) + ": " + ReasonText(error);
  return "cannot read " + PathText(file) + ": " + ReasonText(read.error);
}

// A day's file may hold anything another program or an editor put there;
// none of it reaches the terminal as a control character.
void Print(const std::vector<std::string>& lines, std::size_t from) {
  for (std::size_t i = from; i < lines.size(); ++i)
    std::cout << EscapeUnprintable(lines[i]) << '\n';
  std::cout << std::flush;
}

}  // namespace

fs::path DefaultLogDirectory() {
  fs::path directory = ChooseLogDirectory(ProgramDirectory());
  if (directory.empty()) {
    throw std::invalid_argument("no log directory: HOME is not set; give --log-dir DIR");
  }
  return directory;
}

namespace {

int RunLog(Host& host, const LogOptions& options) {
  const fs::path directory =
      options.logDir.empty() ? DefaultLogDirectory() : fs::path(options.logDir);
  const std::optional<LogTime> day =
      options.date.empty() ? std::nullopt : ParseLogDate(options.date);
  const auto fileOf = [&] { return directory / LogFileName(day ? *day : host.Now()); };

  if (!options.follow) {
    const fs::path file = fileOf();
    const LogFileRead read = ReadLogFile(file, ReadFor::Showing);
    if (read.outcome != LogFileRead::Outcome::Read) {
      Complain(read.outcome == LogFileRead::Outcome::Missing ? "no log file " + PathText(file)
                                                             : Unreadable(read, file));
      return kExitFailed;
    }
    Print(read.lines, 0);
    return kExitOk;
  }

  // Following: today's log, moving on to the next day's file at midnight,
  // or the one day that was asked for.
  InstallStopHandler();
  fs::path file;
  std::size_t shown = 0;
  bool waitingTold = false;
  while (!StopRequested()) {
    const fs::path now = fileOf();
    if (now != file) {
      file = now;
      shown = 0;
      waitingTold = false;
    }
    const LogFileRead read = ReadLogFile(file, ReadFor::Showing);
    if (read.outcome == LogFileRead::Outcome::Read) {
      // A shorter file is a new one (deleted and started afresh): all of it
      // is new.
      if (read.lines.size() < shown) shown = 0;
      Print(read.lines, shown);
      shown = read.lines.size();
    } else if (read.outcome == LogFileRead::Outcome::Unreadable) {
      // Waiting would not change a folder or file we may not read.
      Complain(Unreadable(read, file));
      MarkStopped();
      return kExitFailed;
    } else if (!waitingTold) {
      Complain("waiting for " + PathText(file));
      waitingTold = true;
    }
    host.Wait(kFollowMs);
  }
  MarkStopped();
  return kExitOk;
}

class LogCommand final : public Command {
 public:
  LogCommand() : Command("log", "print a day's event log") {}

  void AddOptions(CLI::App& command) override {
    command.add_option("--log-dir", options_.logDir, "where the daily log files are");
    command.add_option("--date", options_.date, "the day, YYMMDD (default: today)")
        ->check(Checked(&CheckLogDate, "YYMMDD"));
    command.add_flag("--follow,-f", options_.follow, "keep printing new lines until stopped");
  }

  int Run(Invocation& run) override { return RunLog(run.host(), options_); }

 private:
  LogOptions options_;
};

}  // namespace

std::unique_ptr<Command> MakeLogCommand() {
  return std::make_unique<LogCommand>();
}

}  // namespace px::cli
