#include "monitor/alerting.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <system_error>
#include <utility>

#include "common/text.h"
#include "eventlog/log_file.h"
#include "raid/device_table.h"

#ifdef _WIN32
#include <cstdlib>
#else
#include <unistd.h>
#endif

namespace px::monitor {
namespace {

std::string HostName() {
#ifdef _WIN32
  const char* name = std::getenv("COMPUTERNAME");
  return name != nullptr ? name : "this machine";
#else
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "this machine";
  return name;
#endif
}

// A header's value on one line, whatever the command line gave.
std::string OneLine(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return text;
}

std::string PortOf(const Alert& alert) {
  return alert.member ? std::string(PortName(alert.member->port)) : std::string();
}

std::string Trimmed(const std::string& text) {
  return PrintableUtf8(TrimRightKeep(text, 0));
}

std::string HealthText(Health health) {
  std::string text = HealthName(health);
  for (char& c : text) c = static_cast<char>(c - 'a' + 'A');
  return text;
}

}  // namespace

MailPacing::Open MailPacing::KeyOf(const Alert& condition) {
  Open key;
  key.device = condition.device;
  key.port = PortOf(condition);
  key.name = condition.name;
  key.serial = condition.member ? Trimmed(condition.member->serial) : std::string();
  return key;
}

bool MailPacing::SameCondition(const Open& a, const Open& b) {
  return a.device == b.device && a.port == b.port && a.name == b.name && a.serial == b.serial;
}

std::vector<MailPacing::Due> MailPacing::Pace(const std::vector<Alert>& current,
                                              const std::vector<std::size_t>& unread, int64_t now) {
  std::vector<Open> kept;
  std::vector<Due> due;
  for (const Alert& condition : current) {
    Open key = KeyOf(condition);
    const auto known = std::find_if(open_.begin(), open_.end(),
                                    [&](const Open& o) { return SameCondition(o, key); });
    if (known == open_.end()) {
      key.nextAt = now;
      kept.push_back(key);
    } else {
      kept.push_back(*known);
    }
    if (now >= kept.back().nextAt) due.push_back({condition, kept.back().mailed});
  }
  for (const Open& open : open_) {
    const bool found = std::any_of(kept.begin(), kept.end(),
                                   [&](const Open& k) { return SameCondition(k, open); });
    const bool notRead = std::find(unread.begin(), unread.end(), open.device) != unread.end();
    if (!found && notRead) kept.push_back(open);
  }
  open_ = std::move(kept);
  return due;
}

void MailPacing::Mailed(const Due& due, bool sent, int64_t now) {
  const Open key = KeyOf(due.condition);
  for (Open& open : open_) {
    if (!SameCondition(open, key)) continue;
    open.nextAt = now + (sent ? kRepeatSeconds : kRetrySeconds);
    open.mailed = open.mailed || sent;
  }
}

std::vector<std::string> MailPacing::Lines() const {
  // "D1 P1 MemberFailed 1796637600 1 WD-WCC3F0000002": the serial last, as
  // the only field that may hold a space.
  std::vector<std::string> lines;
  for (const Open& open : open_) {
    lines.push_back(std::string("D").append(std::to_string(open.device + 1)) + " " +
                    (open.port.empty() ? "-" : open.port) + " " + open.name + " " +
                    std::to_string(open.nextAt) + " " + (open.mailed ? "1" : "0") + " " +
                    open.serial);
  }
  return lines;
}

std::optional<MailPacing::Open> MailPacing::Parse(std::string_view line) {
  // Five fields, each followed by one space, then the serial to the end.
  std::array<std::string_view, 5> fields;
  for (std::string_view& field : fields) {
    const std::size_t space = line.find(' ');
    if (space == 0 || space == std::string_view::npos) return std::nullopt;
    field = line.substr(0, space);
    line.remove_prefix(space + 1);
  }
  const auto number = [](std::string_view text, auto& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
  };
  const auto [device, port, name, nextAt, mailed] = fields;
  Open open;
  std::size_t deviceNumber = 0;
  if (device.size() < 2 || device[0] != 'D' || !number(device.substr(1), deviceNumber) ||
      deviceNumber < 1 || deviceNumber > kDeviceSlots) {
    return std::nullopt;
  }
  if (port != "-" && port != PortName(Port::P0) && port != PortName(Port::P1)) return std::nullopt;
  if (!number(nextAt, open.nextAt) || (mailed != "0" && mailed != "1")) return std::nullopt;
  open.device = deviceNumber - 1;
  open.port = port == "-" ? std::string() : std::string(port);
  open.name = name;
  open.mailed = mailed == "1";
  open.serial = line;
  return open;
}

std::vector<std::size_t> MailPacing::Load(const std::vector<std::string>& lines) {
  open_.clear();
  std::vector<std::size_t> leftOut;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (std::optional<Open> open = Parse(lines[i])) {
      open_.push_back(std::move(*open));
    } else {
      leftOut.push_back(i + 1);
    }
  }
  return leftOut;
}

std::vector<Alert> CriticalConditions(const StatusReports& reports) {
  std::vector<Alert> conditions;
  for (const EnclosureReport& report : reports.enclosures) {
    if (!report.statusRead || report.health != Health::Critical) continue;
    for (std::size_t i = 0; i < report.members.size(); ++i) {
      const MemberReport& member = report.members[i];
      if (member.state != MemberState::Failed && member.state != MemberState::Absent) continue;
      EnclosureEvent event{member.state == MemberState::Failed ? EnclosureEventKind::MemberFailed
                                                               : EnclosureEventKind::MemberRemoved,
                           static_cast<std::size_t>(report.device - 1), std::nullopt, std::nullopt};
      event.member = MemberSnapshot{kBothPorts[i], MemberClasses{},        member.model,
                                    member.serial, member.capacitySectors, 0};
      conditions.push_back(AlertOf(event));
    }
  }
  return conditions;
}

std::string MailMessage(const AlertRoutes& routes, const std::string& hostName, const Alert& alert,
                        bool reminder, const EnclosureReport* enclosure) {
  std::string to;
  for (const std::string& address : routes.mailTo) to += (to.empty() ? "" : ", ") + address;
  const std::string port = PortOf(alert);
  std::string text = "To: " + OneLine(to) + "\n";
  if (!routes.mailFrom.empty()) text += "From: " + OneLine(routes.mailFrom) + "\n";
  text += "Subject: pxraid on " + OneLine(hostName) + ": " + alert.name + " on D" +
          std::to_string(alert.device + 1) + (port.empty() ? "" : " " + port) +
          (reminder ? " (reminder)" : "") + "\n";
  text +=
      "Auto-Submitted: auto-generated\nMIME-Version: 1.0\nContent-Type: text/plain; "
      "charset=UTF-8\nContent-Transfer-Encoding: 8bit\n\n";
  text += "pxraid monitor on " + hostName + " reports:\n\n  " + alert.name + " (" +
          std::string(SeverityName(alert.severity)) + "): " + PrintableUtf8(alert.message) + "\n\n";
  if (enclosure != nullptr) {
    std::string where = "drive " + std::to_string(enclosure->drive.number());
    if (!enclosure->node.empty()) where += ", " + enclosure->node;
    text += "Enclosure D" + std::to_string(enclosure->device) + " (" + where +
            "): " + PrintableUtf8(enclosure->name) + ", firmware " + enclosure->firmware + ", " +
            enclosure->mode + "\nHealth: " + HealthText(enclosure->health) + " (" +
            enclosure->reason + ")\n\n";
  }
  if (alert.name == kTestAlertName) {
    text +=
        "This is a test (pxraid monitor --test): critical conditions will reach you this way.\n";
  } else if (reminder) {
    text +=
        "This was mailed before and still lasts. A reminder follows every 24 hours while it "
        "does.\n";
  } else {
    text += "While this lasts, a reminder follows every 24 hours.\n";
  }
  return text;
}

Alerting::Alerting(AlertRoutes routes, std::filesystem::path stateFile, AlertOutput output)
    : routes_(std::move(routes)),
      stateFile_(std::move(stateFile)),
      output_(std::move(output)),
      hostName_(HostName()) {
  if (routes_.mailTo.empty()) return;
  const LogFileRead read = ReadLogFile(stateFile_);
  if (read.outcome == LogFileRead::Outcome::Unreadable) {
    output_.complain("cannot read the pacing of mail in " + PathText(stateFile_) + " (" +
                     read.error.message() + "); what is found is mailed as news");
  }
  for (const std::size_t line : pacing_.Load(read.lines)) {
    output_.complain("line " + std::to_string(line) + " of " + PathText(stateFile_) +
                     " is not understood and is left out");
    stateLeftOut_ = true;
  }
}

std::vector<Alert> Alerting::Test(const StatusReports& reports) {
  std::vector<Alert> told;
  for (const EnclosureReport& enclosure : reports.enclosures) {
    const Alert& alert =
        told.emplace_back(TestAlert(static_cast<std::size_t>(enclosure.device - 1)));
    Tell(alert);
    if (!routes_.mailTo.empty()) Mail(alert, false, reports, false);
  }
  return told;
}

std::vector<Alert> Alerting::AfterPoll(const std::vector<EnclosureEvent>& events,
                                       const std::vector<Alert>& warnings,
                                       const StatusReports& reports, int64_t now) {
  std::vector<Alert> told = selector_.Select(events);
  told.insert(told.end(), warnings.begin(), warnings.end());
  for (const Alert& alert : told) Tell(alert);
  if (routes_.mailTo.empty()) return told;
  // A warning comes with the change that brings it about, once: there is
  // nothing to pace, and nothing to mail again.
  for (const Alert& warning : warnings) {
    if (warning.severity == Severity::Critical) Mail(warning, false, reports, false);
  }
  std::vector<std::size_t> unread;
  for (const EnclosureReport& enclosure : reports.enclosures) {
    if (!enclosure.statusRead) unread.push_back(static_cast<std::size_t>(enclosure.device - 1));
  }
  const std::vector<std::string> before = pacing_.Lines();
  for (const MailPacing::Due& due : pacing_.Pace(CriticalConditions(reports), unread, now)) {
    pacing_.Mailed(due, Mail(due.condition, due.reminder, reports, true), now);
  }
  if (stateLeftOut_ || pacing_.Lines() != before) SaveMailState();
  stateLeftOut_ = false;
  return told;
}

void Alerting::Tell(const Alert& alert) {
  const std::string message = PrintableUtf8(alert.message);
  output_.tell(alert.severity, alert.name + ": " + message);
  if (routes_.exec.empty()) return;
  const std::string device = std::to_string(alert.device + 1);
  const std::string port = PortOf(alert);
  std::vector<std::string> argv{routes_.exec, alert.name, device};
  if (!port.empty()) argv.push_back(port);
  std::vector<std::string> environment{
      "PXRAID_EVENT=" + alert.name,
      "PXRAID_SEVERITY=" + std::string(SeverityName(alert.severity)),
      "PXRAID_DEVICE=" + device,
      "PXRAID_PORT=" + port,
      "PXRAID_MODEL=" + (alert.member ? Trimmed(alert.member->model) : std::string()),
      "PXRAID_SERIAL=" + (alert.member ? Trimmed(alert.member->serial) : std::string()),
      "PXRAID_MESSAGE=" + message,
      "PXRAID_PERCENT=" + (alert.rebuild ? std::to_string(alert.rebuild->percent) : std::string())};
  const ChildOutcome outcome =
      RunChild(argv, environment, {}, routes_.timeoutSeconds, childClock_, output_.stopping);
  if (!outcome.Succeeded()) {
    output_.complain(routes_.exec + " for " + alert.name + " on D" + device + " " +
                     outcome.Describe(routes_.timeoutSeconds));
  }
}

bool Alerting::Mail(const Alert& alert, bool reminder, const StatusReports& reports, bool retried) {
  const EnclosureReport* enclosure = nullptr;
  for (const EnclosureReport& report : reports.enclosures) {
    if (static_cast<std::size_t>(report.device - 1) == alert.device) enclosure = &report;
  }
  const ChildOutcome outcome = RunChild({routes_.sendmail, "-t"}, {},
                                        MailMessage(routes_, hostName_, alert, reminder, enclosure),
                                        routes_.timeoutSeconds, childClock_, output_.stopping);
  if (!outcome.Succeeded()) {
    output_.complain("mail of " + alert.name + " on D" + std::to_string(alert.device + 1) + ": " +
                     routes_.sendmail + " " + outcome.Describe(routes_.timeoutSeconds) +
                     (retried ? "; trying again in an hour" : ""));
  }
  return outcome.Succeeded();
}

void Alerting::SaveMailState() {
  if (!ReplaceLogFile(stateFile_, pacing_.Lines(), FileAccess::OwnerOnly)) {
    output_.complain("cannot save the pacing of mail in " + PathText(stateFile_) +
                     "; a restart may mail again what was mailed");
  }
}

}  // namespace px::monitor
