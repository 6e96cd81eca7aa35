#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "cli/commands.h"
#include "cli/core_state.h"
#include "cli/enclosure_status.h"
#include "cli/host.h"
#include "core/flash_job.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

// What every command says on the console, and how it asks.

namespace px::cli {

using monitor::BusyDriveReport;

namespace {

// systemd names the journal's stream in JOURNAL_STREAM as "device:inode";
// standard error must be that stream, not merely have inherited the
// variable (a terminal started by a user service passes it on to its shell).
bool ErrorsGoToTheJournal() {
#ifdef _WIN32
  return false;
#else
  const char* stream = std::getenv("JOURNAL_STREAM");
  unsigned long long device = 0;
  unsigned long long inode = 0;
  struct stat error {};
  return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
         ::fstat(STDERR_FILENO, &error) == 0 && device == error.st_dev && inode == error.st_ino;
#endif
}

}  // namespace

std::string PriorityPrefix(int priority) {
  static const bool journal = ErrorsGoToTheJournal();
  return journal ? std::string("<").append(std::to_string(priority)).append(">") : std::string();
}

void Complain(const std::string& text) {
  std::cerr << PriorityPrefix(kPriorityWarning) << "pxraid: " << text << std::endl;
}

namespace {
bool quietRun = false;
}  // namespace

void Announce(const std::string& text) {
  if (quietRun) return;
  std::cerr << PriorityPrefix(kPriorityNotice) << "pxraid: " << text << std::endl;
}

void SetQuiet(bool quiet) {
  quietRun = quiet;
}

std::string NotProbedText(const BusyDriveReport& busy) {
  return "drive " + std::to_string(busy.drive.number()) +
         (busy.node.empty() ? "" : " (" + busy.node + ")") + " was not probed: " + busy.reason +
         ".";
}

DetectionReport DetectAndExplain(CoreState& core) {
  const DetectionReport found = core.Detect();
  ExplainDetection(core, found);
  return found;
}

void ExplainDetection(CoreState& core, const DetectionReport& found) {
  const std::string advice = core.host.PermissionAdvice(found.physicalDrives);
  // A drive another program holds may well be an enclosure: it is named
  // rather than taken for absent.
  for (const BusyDriveReport& busy : BusyDrives(core, found.busyDrives)) {
    Complain(NotProbedText(busy));
  }
  if (found.enclosures == 0 && found.busyDrives == 0) Complain(core.NoEnclosureText());
  if (!advice.empty()) Complain(advice);
}

void TellCutShortRuns(const CoreState& core, const std::filesystem::path& logDirectory,
                      CutShortWatch& watch) {
  for (const std::string& notice : watch.Look(core, logDirectory)) {
    std::cerr << PriorityPrefix(kPriorityCritical) << "pxraid: " << notice << std::endl;
  }
}

CoreOptions LookingAt(std::optional<PhysicalDrive> drive) {
  CoreOptions options;
  options.onlyDrive = drive;
  return options;
}

bool Confirm(const std::string& question) {
  std::cerr << question << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    std::cerr << std::endl;
    return false;
  }
  for (char& c : answer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return answer == "y" || answer == "yes";
}

}  // namespace px::cli
