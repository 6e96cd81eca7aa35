#include "raid/tray_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unit/display/record_builder.h"

namespace px {
namespace {

using testing::MirrorStatus;

struct Device {
  Record record;
  bool answered = true;
};

// The icon is the worst health of the listed enclosures, and the tooltip
// says which one is what and why.
TEST(TrayModel, LookIsTheWorstHealthWithOneLinePerEnclosure) {
  struct Case {
    std::vector<Device> devices;
    Health health;
    std::string toolTip;
  };
  const Case cases[] = {
      {{}, Health::Unknown, "PX: UNKNOWN\nno enclosure found"},
      {{{MirrorStatus(0x22)}}, Health::Ok, "PX: OK\nDevice1: OK (both members ready)"},
      {{{MirrorStatus(0x22)}, {MirrorStatus(0x22, kProgressP1, 40)}},
       Health::Warning,
       "PX: WARNING\nDevice1: OK (both members ready)\nDevice2: WARNING (P0 --> P1 40%)"},
      {{{MirrorStatus(0x22, kProgressP1, 40)}, {MirrorStatus(0x22), false}},
       Health::Unknown,
       "PX: UNKNOWN\nDevice1: WARNING (P0 --> P1 40%)\n"
       "Device2: UNKNOWN (the status could not be read)"},
      {{{MirrorStatus(0x22), false}, {MirrorStatus(0x82)}, {MirrorStatus(0x42)}},
       Health::Critical,
       "PX: CRITICAL\nDevice1: UNKNOWN (the status could not be read)\n"
       "Device2: CRITICAL (P1 failed)\nDevice3: CRITICAL (P1 absent from the Mirror)"},
  };
  const TrayModel model("PX", true);
  for (const Case& c : cases) {
    std::vector<EnclosureVerdict> verdicts;
    for (std::size_t i = 0; i < c.devices.size(); ++i)
      verdicts.push_back(
          VerdictOf(i, StatusRecordView(c.devices[i].record), c.devices[i].answered));
    const TrayLook look = model.Look(verdicts);
    EXPECT_EQ(look.health, c.health) << c.toolTip;
    EXPECT_EQ(look.toolTip, c.toolTip);
  }
}

// Critical and warning events are notified, in order, naming the device,
// the member and its disk; nothing is when notifications are off.
TEST(TrayModel, NotifiesWhatWentWrong) {
  const MemberSnapshot p1{Port::P1, {}, "ST1000DM003-1CH162  ", "S1ABCDEF  ", 0, 0};
  const MemberSnapshot unseen{Port::P0, {}, "", "", 0, 0};
  const RebuildSnapshot done{99, RebuildDirection::TowardsP1};
  using K = EnclosureEventKind;
  struct Case {
    EnclosureEvent event;
    std::string notified;  // severity, title and text; empty: none
  };
  const Case cases[] = {
      {{K::EnclosureAdded, 0, {}, {}}, ""},
      {{K::EnclosureRemoved, 1, {}, {}},
       "warning|Device2: enclosure gone|It is no longer attached to this machine."},
      {{K::StatusUnreadable, 0, {}, {}},
       "warning|Device1: status unreadable|It does not answer the status poll."},
      {{K::StatusReadable, 0, {}, {}}, ""},
      {{K::MemberFailed, 0, p1, {}},
       "critical|Device1: P1 failed|ST1000DM003-1CH162, serial S1ABCDEF"},
      {{K::MemberRemoved, 2, p1, {}},
       "critical|Device3: P1 removed|ST1000DM003-1CH162, serial S1ABCDEF"},
      {{K::MemberRemoved, 0, unseen, {}}, "critical|Device1: P0 removed|model and serial unknown"},
      {{K::MemberInserted, 0, p1, {}},
       "warning|Device1: P1 inserted, not part of the volume|ST1000DM003-1CH162, serial S1ABCDEF"},
      {{K::MemberInitialized, 0, p1, {}}, ""},
      {{K::RebuildStarted, 0, {}, RebuildSnapshot{0, RebuildDirection::TowardsP1}}, ""},
      {{K::RebuildProgress, 0, {}, RebuildSnapshot{40, RebuildDirection::TowardsP1}}, ""},
      {{K::RebuildFinished, 0, {}, done},
       "warning|Device1: rebuild finished|P0 --> P1, both members ready"},
  };
  std::vector<EnclosureEvent> all;
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    all.push_back(c.event);
    if (!c.notified.empty()) expected.push_back(c.notified);
  }
  std::vector<std::string> got;
  for (const Notification& n : TrayModel("PX", true).Notifications(all))
    got.push_back(std::string(SeverityName(n.severity)) + "|" + n.title + "|" + n.text);
  EXPECT_EQ(got, expected);
  EXPECT_TRUE(TrayModel("PX", false).Notifications(all).empty());
}

}  // namespace
}  // namespace px
