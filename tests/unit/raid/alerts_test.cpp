#include "raid/alerts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace px {
namespace {

EnclosureEvent Rebuild(EnclosureEventKind kind, uint8_t percent, std::size_t device = 0) {
  return {kind, device, std::nullopt, RebuildSnapshot{percent, RebuildDirection::TowardsP1}};
}

EnclosureEvent Started(uint8_t percent, std::size_t device = 0) {
  return Rebuild(EnclosureEventKind::RebuildStarted, percent, device);
}

EnclosureEvent Moved(uint8_t percent, std::size_t device = 0) {
  return Rebuild(EnclosureEventKind::RebuildProgress, percent, device);
}

// A rebuild is told when it starts, at each fifth it passes (the highest
// one when a poll passes several) and when it ends, whatever percentages the
// polls happen to see in between; every other event is told as it is.
TEST(AlertSelector, TellsARebuildAtItsMilestones) {
  struct Case {
    const char* name;
    std::vector<std::vector<EnclosureEvent>> polls;
    std::vector<std::string> alerts;  // name and message
  };
  const EnclosureEvent finished = Rebuild(EnclosureEventKind::RebuildFinished, 99);
  const Case cases[] = {
      {"every percent",
       {{Started(0)}, {Moved(1)}, {Moved(19)}, {Moved(20)}, {Moved(21)}, {Moved(40)}, {finished}},
       {"RebuildStarted D1 rebuild P0 --> P1 started at 0%",
        "Rebuild20 D1 rebuild P0 --> P1 at 20%", "Rebuild40 D1 rebuild P0 --> P1 at 40%",
        "RebuildFinished D1 rebuild P0 --> P1 finished, both members ready"}},
      {"a poll that passes two milestones",
       {{Started(5)}, {Moved(30)}, {Moved(85)}, {Moved(99)}},
       {"RebuildStarted D1 rebuild P0 --> P1 started at 5%",
        "Rebuild20 D1 rebuild P0 --> P1 at 30%", "Rebuild80 D1 rebuild P0 --> P1 at 85%"}},
      {"first seen past a milestone",
       {{Started(45)}, {Moved(50)}, {Moved(61)}},
       {"RebuildStarted D1 rebuild P0 --> P1 started at 45%",
        "Rebuild60 D1 rebuild P0 --> P1 at 61%"}},
      {"a second rebuild starts over",
       {{Started(70), Moved(90)}, {finished}, {Started(0)}, {Moved(25)}},
       {"RebuildStarted D1 rebuild P0 --> P1 started at 70%",
        "Rebuild80 D1 rebuild P0 --> P1 at 90%",
        "RebuildFinished D1 rebuild P0 --> P1 finished, both members ready",
        "RebuildStarted D1 rebuild P0 --> P1 started at 0%",
        "Rebuild20 D1 rebuild P0 --> P1 at 25%"}},
      {"two enclosures apart",
       {{Started(10, 0), Started(30, 1)}, {Moved(21, 0), Moved(39, 1)}},
       {"RebuildStarted D1 rebuild P0 --> P1 started at 10%",
        "RebuildStarted D2 rebuild P0 --> P1 started at 30%",
        "Rebuild20 D1 rebuild P0 --> P1 at 21%"}},
      {"members and enclosures as they are",
       {{{EnclosureEventKind::MemberFailed, 1,
          MemberSnapshot{Port::P1, {}, "WDC WD10EZEX  ", "WD-1   ", 0, 0}, std::nullopt},
         {EnclosureEventKind::MemberRemoved, 0, MemberSnapshot{Port::P0, {}, "", "", 0, 0},
          std::nullopt},
         {EnclosureEventKind::StatusUnreadable, 2, std::nullopt, std::nullopt},
         {EnclosureEventKind::EnclosureBusy, 3, std::nullopt, std::nullopt}}},
       {"MemberFailed D2 P1 failed: WDC WD10EZEX, serial WD-1", "MemberRemoved D1 P0 removed",
        "StatusUnreadable D3 does not answer its status read",
        "EnclosureBusy D4 is busy: another program holds it"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AlertSelector selector;
    std::vector<std::string> told;
    for (const auto& poll : c.polls) {
      for (const Alert& alert : selector.Select(poll))
        told.push_back(alert.name + " " + alert.message);
    }
    EXPECT_EQ(told, c.alerts);
  }
}

}  // namespace
}  // namespace px
