#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "monitor/child_process.h"
#include "monitor/status_report.h"
#include "raid/alerts.h"

namespace px::monitor {

// Where alerts go besides the line told for each: a program run for every
// one, and mail for critical conditions.
struct AlertRoutes {
  // The program run for every alert; empty for none.
  std::string exec;
  // Mail for critical conditions: to these addresses, through sendmail -t.
  std::vector<std::string> mailTo;
  std::string mailFrom;
  std::string sendmail = "/usr/sbin/sendmail";
  // How long the program and sendmail may take before they are killed.
  uint32_t timeoutSeconds = 30;
};

// What alerting needs of the front end it runs in.
struct AlertOutput {
  // An alert's line ("MemberFailed: ..."), at its severity.
  std::function<void(Severity severity, const std::string& line)> tell;
  // What went wrong on the way: a program that failed, mail that did not
  // go, a pacing file that cannot be read or saved.
  std::function<void(const std::string& text)> complain;
  // The front end is asked to stop: no program is started, one running is
  // killed.
  Stopping stopping;
};

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
std::vector<Alert> CriticalConditions(const StatusReports& reports);

// The message handed to sendmail -t: headers, a blank line, the body.
std::string MailMessage(const AlertRoutes& routes, const std::string& hostName, const Alert& alert,
                        bool reminder, const EnclosureReport* enclosure);

// Beside the logs: the pacing of mail, kept between runs.
inline constexpr char kMailStateName[] = "pxraid-mail.state";

// Where a monitor's alerts go: a line told (pxraid's on standard error, with
// its priority under systemd), the program of `routes`, and mail.
class Alerting {
 public:
  // `stateFile` keeps the pacing of mail between runs.
  Alerting(AlertRoutes routes, std::filesystem::path stateFile, AlertOutput output);

  // --test: one TestAlert for every enclosure, by every route, mail too.
  // Returns the alerts told.
  std::vector<Alert> Test(const StatusReports& reports);
  // What one poll changed, the member history's warnings it raised (a
  // critical one is mailed), and the mail its conditions are due. Returns
  // the alerts told, in their order.
  std::vector<Alert> AfterPoll(const std::vector<EnclosureEvent>& events,
                               const std::vector<Alert>& warnings, const StatusReports& reports,
                               int64_t now);

 private:
  void Tell(const Alert& alert);
  // `retried`: the pacing tries a mail that failed again.
  bool Mail(const Alert& alert, bool reminder, const StatusReports& reports, bool retried);
  void SaveMailState();

  AlertRoutes routes_;
  std::filesystem::path stateFile_;
  AlertOutput output_;
  std::string hostName_;
  // A program's time is real, whatever clock the enclosures run on.
  SteadyClock childClock_;
  AlertSelector selector_;
  MailPacing pacing_;
  // The state file held lines that were left out: it is saved without them.
  bool stateLeftOut_ = false;
};

}  // namespace px::monitor
