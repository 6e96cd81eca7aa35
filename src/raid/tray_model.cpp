#include "raid/tray_model.h"

#include <cctype>

#include "common/time_text.h"

namespace px {
namespace {

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

// As the window's device pages are captioned.
std::string DeviceCaption(std::size_t device) {
  return "Device" + std::to_string(device + 1);
}

std::string Trimmed(std::string text) {
  const auto last = text.find_last_not_of(' ');
  text.erase(last == std::string::npos ? 0 : last + 1);
  return text;
}

// The disk as the user can find it on its label. A member that was never
// seen has no texts; the notification must still say something, since some
// desktops drop one without a body.
std::string DiskText(const MemberSnapshot& member) {
  const std::string model = Trimmed(member.model);
  const std::string serial = Trimmed(member.serial);
  if (model.empty() && serial.empty()) return "model and serial unknown";
  return model + ", serial " + serial;
}

std::string MemberTitle(const EnclosureEvent& event, std::string_view what) {
  return DeviceCaption(event.device) + ": " + std::string(PortName(event.member->port)) + " " +
         std::string(what);
}

}  // namespace

EnclosureVerdict VerdictOf(std::size_t device, const StatusRecordView& status, bool answered) {
  EnclosureVerdict verdict{device, Health::Unknown, "the status could not be read", std::nullopt};
  if (answered) verdict.health = Classify(status, verdict.reason);
  return verdict;
}

TrayLook TrayModel::Look(const std::vector<EnclosureVerdict>& enclosures) const {
  TrayLook look;
  std::string lines;
  if (!enclosures.empty()) look.health = enclosures.front().health;
  for (const EnclosureVerdict& verdict : enclosures) {
    look.health = Worse(look.health, verdict.health);
    // Appended piece by piece: GCC 12 takes "\n" + a temporary for an
    // overlapping copy and refuses it.
    lines.append("\n")
        .append(DeviceCaption(verdict.device))
        .append(": ")
        .append(Upper(HealthName(verdict.health)))
        .append(" (")
        .append(verdict.reason);
    // In the words status gives it.
    if (verdict.remainingSeconds)
      lines.append(", ").append(RemainingText(*verdict.remainingSeconds));
    lines.append(")");
  }
  if (enclosures.empty()) lines = "\nno enclosure found";
  look.toolTip = caption_ + ": " + Upper(HealthName(look.health)) + lines;
  return look;
}

std::vector<Notification> TrayModel::Notifications(
    const std::vector<EnclosureEvent>& events) const {
  std::vector<Notification> notifications;
  if (!notify_) return notifications;
  for (const EnclosureEvent& event : events) {
    const Severity severity = SeverityOf(event.kind);
    if (severity == Severity::Info) continue;
    Notification& n = notifications.emplace_back(Notification{severity, {}, {}});
    switch (event.kind) {
      case EnclosureEventKind::MemberFailed:
        n.title = MemberTitle(event, "failed");
        n.text = DiskText(*event.member);
        break;
      case EnclosureEventKind::MemberRemoved:
        n.title = MemberTitle(event, "removed");
        n.text = DiskText(*event.member);
        break;
      case EnclosureEventKind::MemberInserted:
        n.title = MemberTitle(event, "inserted, not part of the volume");
        n.text = DiskText(*event.member);
        break;
      case EnclosureEventKind::RebuildFinished:
        n.title = DeviceCaption(event.device) + ": rebuild finished";
        n.text = std::string(DirectionText(event.rebuild->direction)) + ", both members ready";
        break;
      case EnclosureEventKind::EnclosureRemoved:
        n.title = DeviceCaption(event.device) + ": enclosure gone";
        n.text = "It is no longer attached to this machine.";
        break;
      case EnclosureEventKind::StatusUnreadable:
        n.title = DeviceCaption(event.device) + ": status unreadable";
        n.text = "It does not answer the status poll.";
        break;
      default:
        // A kind that comes to matter without words of its own here still
        // reaches the user, by its stable name.
        n.title = DeviceCaption(event.device) + ": " + std::string(EventName(event.kind));
        n.text = "See the window for details.";
        break;
    }
  }
  return notifications;
}

std::vector<Notification> TrayModel::Notifications(
    const std::vector<MemberWarning>& warnings) const {
  std::vector<Notification> notifications;
  if (!notify_) return notifications;
  for (const MemberWarning& warning : warnings) {
    notifications.push_back(
        {warning.severity, DeviceCaption(warning.device) + ": " + warning.name, warning.message});
  }
  return notifications;
}

}  // namespace px
