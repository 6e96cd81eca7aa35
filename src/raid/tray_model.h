#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "raid/alerts.h"
#include "raid/enclosure_events.h"
#include "raid/enclosure_health.h"
#include "raid/record_views.h"

// What the window's tray icon shows of the enclosures, and which of their
// events it raises as desktop notifications, without the toolkit.

namespace px {

// One listed enclosure as the last poll left it.
struct EnclosureVerdict {
  std::size_t device = 0;  // index in the device table; the window's "Device1" is 0
  Health health = Health::Unknown;
  std::string reason;
  // While its rebuild runs: the seconds it has left, once the member
  // history can tell.
  std::optional<int64_t> remainingSeconds;
};

// A listed device: its status judged when the last poll read it, UNKNOWN
// when it did not answer.
EnclosureVerdict VerdictOf(std::size_t device, const StatusRecordView& status, bool answered);

// The icon and its tooltip.
struct TrayLook {
  Health health = Health::Unknown;  // the worst across the enclosures
  std::string toolTip;
  friend bool operator==(const TrayLook&, const TrayLook&) = default;
};

struct Notification {
  Severity severity = Severity::Warning;
  std::string title;
  std::string text;
};

class TrayModel {
 public:
  // `caption` heads the tooltip; `notify` false turns notifications off.
  TrayModel(std::string caption, bool notify) : caption_(std::move(caption)), notify_(notify) {}

  // With no enclosure listed the health is UNKNOWN: nothing has been checked.
  TrayLook Look(const std::vector<EnclosureVerdict>& enclosures) const;
  // One notification for each critical or warning event, in order.
  std::vector<Notification> Notifications(const std::vector<EnclosureEvent>& events) const;
  // One notification for each warning, in order, with the history's
  // severity.
  std::vector<Notification> Notifications(const std::vector<MemberWarning>& warnings) const;

 private:
  std::string caption_;
  bool notify_;
};

}  // namespace px
