#include "raid/alerts.h"

#include "common/text.h"

namespace px {
namespace {

// The highest milestone at or below `percent`; 0 below the first.
uint8_t MilestoneOf(uint8_t percent) {
  uint8_t reached = 0;
  for (const uint8_t milestone : kRebuildMilestones) {
    if (percent >= milestone) reached = milestone;
  }
  return reached;
}

// Appended, not prepended: GCC 12 warns falsely (-Wrestrict) about a
// literal put before a temporary string.
std::string DeviceText(std::size_t device) {
  return std::string("D").append(std::to_string(device + 1));
}

// The disk as its model and serial number tell it, padding left out.
std::string DiskText(const MemberSnapshot& member) {
  const std::string model = TrimRightKeep(member.model, 0);
  const std::string serial = TrimRightKeep(member.serial, 0);
  if (model.empty() && serial.empty()) return {};
  return model + (serial.empty() ? "" : ", serial " + serial);
}

std::string MemberMessage(std::size_t device, const MemberSnapshot& member, const char* what) {
  std::string text = DeviceText(device) + " " + std::string(PortName(member.port)) + " " + what;
  const std::string disk = DiskText(member);
  return disk.empty() ? text : text + ": " + disk;
}

std::string RebuildText(std::size_t device, const RebuildSnapshot& rebuild) {
  return DeviceText(device) + " rebuild " +
         (rebuild.direction == RebuildDirection::TowardsP0 ? "P1 --> P0" : "P0 --> P1");
}

std::string MessageOf(const EnclosureEvent& event) {
  const std::string device = DeviceText(event.device);
  switch (event.kind) {
    case EnclosureEventKind::EnclosureAdded:
      return device + " enclosure found";
    case EnclosureEventKind::EnclosureRemoved:
      return device + " enclosure gone";
    case EnclosureEventKind::StatusUnreadable:
      return device + " does not answer its status read";
    case EnclosureEventKind::StatusReadable:
      return device + " answers its status read again";
    case EnclosureEventKind::EnclosureBusy:
      return device + " is busy: another program holds it";
    case EnclosureEventKind::MemberFailed:
      return MemberMessage(event.device, *event.member, "failed");
    case EnclosureEventKind::MemberRemoved:
      // The disk named is the one last seen there.
      return MemberMessage(event.device, *event.member, "removed");
    case EnclosureEventKind::MemberInserted:
      return MemberMessage(event.device, *event.member, "inserted, not part of the volume");
    case EnclosureEventKind::MemberInitialized:
      return MemberMessage(event.device, *event.member, "ready");
    case EnclosureEventKind::RebuildStarted:
      return RebuildText(event.device, *event.rebuild) + " started at " +
             std::to_string(event.rebuild->percent) + "%";
    case EnclosureEventKind::RebuildProgress:
      return RebuildText(event.device, *event.rebuild) + " at " +
             std::to_string(event.rebuild->percent) + "%";
    case EnclosureEventKind::RebuildFinished:
      return RebuildText(event.device, *event.rebuild) + " finished, both members ready";
  }
  return device;
}

}  // namespace

Alert AlertOf(const EnclosureEvent& event) {
  return {std::string(EventName(event.kind)),
          SeverityOf(event.kind),
          event.device,
          event.member,
          event.rebuild,
          MessageOf(event)};
}

Alert AlertOf(const MemberWarning& warning) {
  Alert alert{warning.name, warning.severity, warning.device, warning.member, std::nullopt, {}};
  alert.message = "D" + std::to_string(warning.device + 1) + " " + warning.message;
  return alert;
}

std::vector<Alert> AlertSelector::Select(const std::vector<EnclosureEvent>& events) {
  std::vector<Alert> alerts;
  for (const EnclosureEvent& event : events) {
    if (event.rebuild && event.device < percent_.size()) {
      uint8_t& last = percent_[event.device];
      const uint8_t before = last;
      last = event.rebuild->percent;
      if (event.kind == EnclosureEventKind::RebuildProgress) {
        const uint8_t milestone = MilestoneOf(event.rebuild->percent);
        if (milestone <= MilestoneOf(before)) continue;
        Alert alert = AlertOf(event);
        alert.name = "Rebuild" + std::to_string(milestone);
        alerts.push_back(std::move(alert));
        continue;
      }
    }
    alerts.push_back(AlertOf(event));
  }
  return alerts;
}

Alert TestAlert(std::size_t device) {
  return {kTestAlertName, Severity::Info, device,
          std::nullopt,   std::nullopt,   DeviceText(device) + " test alert"};
}

}  // namespace px
