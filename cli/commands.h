#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "device/physical_drive.h"

namespace px {
class CutShortWatch;
struct Alert;
struct DetectionReport;
}  // namespace px

namespace px::monitor {
struct StatusReports;
struct BusyDriveReport;
}  // namespace px::monitor

namespace px::cli {

class Host;
struct CoreOptions;
struct CoreState;

// Exit codes. status answers 0-3 the way monitoring plugins do (OK, WARNING,
// CRITICAL, UNKNOWN); the other commands use the same numbers for the same
// kind of outcome: one number for one kind of mistake, whatever the command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;    // refused, failed, a file unreadable, or a warning
inline constexpr int kExitUsage = 2;     // bad arguments (and status: critical)
inline constexpr int kExitNoDevice = 3;  // no enclosure, device error, no permission
// status: UNKNOWN, also for bad arguments (a monitoring check set up wrong).
inline constexpr int kExitUnknown = 3;

// pxraidd's GetStatus takes the physical drive to look at as a number, and
// this for every drive.
inline constexpr int32_t kEveryDrive = -1;

enum class StatusFormat { Text, Json, Prometheus, Nagios };
// The names --format takes, and pxraidd's GetStatus: "text", "json",
// "prometheus", "nagios".
std::string_view StatusFormatName(StatusFormat format);
std::optional<StatusFormat> ParseStatusFormat(std::string_view name);
// Every name, in that order.
std::vector<std::string> StatusFormatNames();

struct StatusOptions {
  StatusFormat format = StatusFormat::Text;
  // The physical drive to look at, as list shows it under DRIVE; every drive
  // when empty.
  std::optional<PhysicalDrive> drive;
  // The enclosure named by its stable id, /dev node or a member's serial
  // (ChooseEnclosure); empty for every one.
  std::string enclosure;
  std::string logDir;  // where a flash cut short is looked for; empty for the default
  // The member history a rebuild's time left is read from; empty for the one
  // beside the log folder.
  std::string history;
};

struct MonitorOptions {
  uint32_t intervalSeconds = 4;
  std::string logDir;
  // Stop after this many polls as a stop request would; 0 runs until
  // stopped. Only for tests, which give it as pxraid-test's or pxraidd's
  // hidden --polls.
  int polls = 0;
  // One poll with its events and alerts, then the exit status of status.
  bool oneshot = false;
  // A test alert for every enclosure found at the start.
  bool test = false;
  // Where DIR/pxraid.prom goes after every poll; empty for none.
  std::string textfile;
  // The program run for every alert; empty for none.
  std::string exec;
  // Mail for critical conditions: to these addresses, through sendmail -t.
  std::vector<std::string> mailTo;
  std::string mailFrom;
  std::string sendmail = "/usr/sbin/sendmail";
  // How long the program and sendmail may take before they are killed.
  uint32_t alertTimeoutSeconds = 30;
  // The member history: empty for the one beside the log folder.
  std::string history;
  bool noHistory = false;
  // For a program that serves the enclosures' state elsewhere (pxraidd):
  // called after each finished poll with its reports, as the history left
  // them, and the alerts told for it (the events' and the history's
  // warnings), in the order they were told. With no enclosure to poll it is
  // called with no reports.
  std::function<void(const monitor::StatusReports& reports, const std::vector<Alert>& alerts)>
      afterPoll;
};

// pxraid monitor's work, which pxraidd runs too.
int RunMonitor(Host& host, const MonitorOptions& options);

// What status prints on standard output for `all`: `error` (why there is
// nothing to report) goes into the JSON answer only, `polledAt` into the
// metrics.
std::string StatusOutput(StatusFormat format, const monitor::StatusReports& all,
                         const std::string& error, std::optional<int64_t> polledAt);

// status's whole answer, as pxraidd gives it to a client: standard output,
// the exit status, and what goes to standard error (without "pxraid: ").
struct StatusAnswer {
  std::string output;
  int exitCode = kExitUnknown;
  std::vector<std::string> complaints;
};
// What status would answer of a poll already made (pxraidd's last), for the
// enclosure on `drive` or every one (none), and of those the one `enclosure`
// names when it is not empty.
StatusAnswer AnswerFromPoll(StatusFormat format, std::optional<PhysicalDrive> drive,
                            const monitor::StatusReports& poll, std::optional<int64_t> polledAt,
                            const std::string& enclosure = {});

// What a core looks at: every drive, or physical drive `drive` alone (as
// --drive asks, so that no other drive is sent a command).
CoreOptions LookingAt(std::optional<PhysicalDrive> drive);

// Finds the enclosures. With none, says so on standard error, with what to
// do when disks were refused for lack of permission; with some, still warns
// about refused disks. What the detection found.
DetectionReport DetectAndExplain(CoreState& core);
// The same for a detection already made, which found `found`.
void ExplainDetection(CoreState& core, const DetectionReport& found);
// What is said of a drive another program held: "drive 2 (/dev/sdc) was not
// probed: REASON."
std::string NotProbedText(const monitor::BusyDriveReport& busy);

// After a detection: tells, on standard error, of each flash cut short that
// the logs in `logDirectory` show and `watch` has not told yet.
void TellCutShortRuns(const CoreState& core, const std::filesystem::path& logDirectory,
                      CutShortWatch& watch);

// Where the logs go when --log-dir is not given, as ChooseLogDirectory
// decides: root's in the system's log folder, the service's; anyone else's
// beside the program when that folder is theirs (as the windowed program's),
// else in their state directory. std::invalid_argument when there is none.
std::filesystem::path DefaultLogDirectory();

// "pxraid: " + text on standard error: something is wrong.
void Complain(const std::string& text);
// Asks `question` on the terminal, " [y/N] " after it on standard error;
// true for y or yes. No answer (the end of the input) is a no.
bool Confirm(const std::string& question);
// The same for news that is not a complaint ("monitoring 2 enclosures").
void Announce(const std::string& text);
// --quiet: standard output and announcements go nowhere from now on;
// complaints and questions still go to standard error.
void SetQuiet(bool quiet);

// Syslog priorities, as the journal reads them.
inline constexpr int kPriorityCritical = 2;
inline constexpr int kPriorityWarning = 4;
inline constexpr int kPriorityNotice = 5;
inline constexpr int kPriorityInfo = 6;
// Under systemd (standard error is the stream JOURNAL_STREAM names) a line on
// either output starts with its priority, "<2>", which the journal takes off
// and keeps (sd-daemon(3)); elsewhere nothing.
std::string PriorityPrefix(int priority);

}  // namespace px::cli
