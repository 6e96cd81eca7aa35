#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.h"
#include "common/clock.h"
#include "monitor/status_report.h"
#include "raid/alerts.h"

namespace px::cli {

// smartd's pacing of mail: a critical condition (a member failed, or missing
// from a mirror or stripe) is mailed when it is first found, then once a day
// while it lasts. One that a poll no longer finds is forgotten, so that its
// return is news again; a device that did not answer keeps its conditions. A
// mail that could not be handed over is tried again an hour later.
class MailPacing {
 public:
  struct Due {
    Alert condition;
    bool reminder = false;  // it was mailed before
  };
  // `current`: the conditions the last poll found; `unread`: the devices it
  // could not read.
  std::vector<Due> Pace(const std::vector<Alert>& current, const std::vector<std::size_t>& unread,
                        int64_t now);
  // Whether the mail of `due` went out at `now`.
  void Mailed(const Due& due, bool sent, int64_t now);

  // The state as lines of text, kept between runs so that --oneshot from
  // cron, or a restarted service, does not mail the same condition again.
  std::vector<std::string> Lines() const;
  // Takes the state from such lines. A line that is not one (edited by hand,
  // cut short by a full disk) is left out, and the rest kept: its condition
  // is only news again. Returns the numbers of the lines left out, from 1.
  std::vector<std::size_t> Load(const std::vector<std::string>& lines);

  static constexpr int64_t kRepeatSeconds = 24 * 3600;
  static constexpr int64_t kRetrySeconds = 3600;

 private:
  struct Open {
    std::size_t device = 0;
    std::string port;
    std::string name;
    std::string serial;
    int64_t nextAt = 0;  // when it is mailed (again)
    bool mailed = false;
  };
  static Open KeyOf(const Alert& condition);
  static std::optional<Open> Parse(std::string_view line);
  static bool SameCondition(const Open& a, const Open& b);
  std::vector<Open> open_;
};

// The critical conditions of the enclosures read: each failed member, and
// each absent one where that makes the enclosure critical (a mirror or
// stripe; a single disk by design is not), named as their events are.
std::vector<Alert> CriticalConditions(const monitor::StatusReports& reports);

// The message handed to sendmail -t: headers, a blank line, the body.
std::string MailMessage(const MonitorOptions& options, const std::string& hostName,
                        const Alert& alert, bool reminder,
                        const monitor::EnclosureReport* enclosure);

// Beside the logs: the pacing of mail, kept between runs.
inline constexpr char kMailStateName[] = "pxraid-mail.state";

// Where pxraid monitor's alerts go: a line on standard error (with its
// priority under systemd), the --exec program, and mail.
class Alerting {
 public:
  // `stateFile` keeps the pacing of mail between runs.
  Alerting(const MonitorOptions& options, std::filesystem::path stateFile);

  // --test: one TestAlert for every enclosure, by every route, mail too.
  // Returns the alerts told.
  std::vector<Alert> Test(const monitor::StatusReports& reports);
  // What one poll changed, the member history's warnings it raised (a
  // critical one is mailed), and the mail its conditions are due. Returns
  // the alerts told, in their order.
  std::vector<Alert> AfterPoll(const std::vector<EnclosureEvent>& events,
                               const std::vector<Alert>& warnings,
                               const monitor::StatusReports& reports, int64_t now);

 private:
  void Tell(const Alert& alert);
  // `retried`: the pacing tries a mail that failed again.
  bool Mail(const Alert& alert, bool reminder, const monitor::StatusReports& reports, bool retried);
  void SaveMailState();

  const MonitorOptions& options_;
  std::filesystem::path stateFile_;
  std::string hostName_;
  // A program's time is real, whatever clock the enclosures run on.
  SteadyClock childClock_;
  AlertSelector selector_;
  MailPacing pacing_;
  // The state file held lines that were left out: it is saved without them.
  bool stateLeftOut_ = false;
};

}  // namespace px::cli
