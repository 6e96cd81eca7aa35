#include "raid/enclosure_events.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace px {
namespace {

// A reading of a device: its members' classes as the PortFlags byte has
// them, and a rebuild when one runs.
EnclosureSnapshot Reading(uint8_t portFlags, std::optional<RebuildSnapshot> rebuild = {}) {
  EnclosureSnapshot snapshot;
  snapshot.present = true;
  snapshot.answered = true;
  for (Port port : kBothPorts) {
    MemberSnapshot& member = snapshot.members[IndexOf(port)];
    member.classes = ClassesOf(portFlags, port);
    member.serial = std::string("SERIAL-").append(PortName(port));
  }
  snapshot.rebuild = rebuild;
  return snapshot;
}

EnclosureSnapshot Unanswered(uint8_t portFlags) {
  EnclosureSnapshot snapshot = Reading(portFlags);
  snapshot.answered = false;
  return snapshot;
}

// Not asked: another program held it.
EnclosureSnapshot Held(uint8_t portFlags) {
  EnclosureSnapshot snapshot = Unanswered(portFlags);
  snapshot.busy = true;
  return snapshot;
}

const EnclosureSnapshot kAbsent;
constexpr RebuildSnapshot ToP0(uint8_t percent) {
  return {percent, RebuildDirection::TowardsP0};
}
constexpr RebuildSnapshot ToP1(uint8_t percent) {
  return {percent, RebuildDirection::TowardsP1};
}

// Name, severity, device number and what the event carries. Built by
// appending: GCC 12 warns falsely (-Wrestrict) about a literal prepended to
// a temporary string.
std::string Describe(const EnclosureEvent& event) {
  std::string text(EventName(event.kind));
  text.append(" ").append(SeverityName(SeverityOf(event.kind)));
  text.append(" D").append(std::to_string(event.device + 1));
  if (event.member) text.append(" ").append(event.member->serial);
  if (event.rebuild) {
    text.append(" ").append(std::to_string(event.rebuild->percent)).append("% to ");
    text.append(event.rebuild->direction == RebuildDirection::TowardsP0 ? "P0" : "P1");
  }
  return text;
}

TEST(DeriveEvents, FromOneSnapshotToTheNext) {
  struct Case {
    const char* name;
    EnclosureSnapshot before, now;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"nothing changed", Reading(0x22), Reading(0x22), {}},
      {"P0 pulled", Reading(0x22), Reading(0x24), {"MemberRemoved critical D2 SERIAL-P0"}},
      {"P1 failed", Reading(0x22), Reading(0x82), {"MemberFailed critical D2 SERIAL-P1"}},
      {"P0 put back", Reading(0x24), Reading(0x21), {"MemberInserted warning D2 SERIAL-P0"}},
      {"P0 taken in", Reading(0x21), Reading(0x22), {"MemberInitialized info D2 SERIAL-P0"}},
      {"both pulled at once: P0 first",
       Reading(0x22),
       Reading(0x44),
       {"MemberRemoved critical D2 SERIAL-P0", "MemberRemoved critical D2 SERIAL-P1"}},
      {"a rebuild starts",
       Reading(0x22),
       Reading(0x22, ToP0(0)),
       {"RebuildStarted info D2 0% to P0"}},
      {"it moves",
       Reading(0x22, ToP0(37)),
       Reading(0x22, ToP0(38)),
       {"RebuildProgress info D2 38% to P0"}},
      {"it stands", Reading(0x22, ToP0(38)), Reading(0x22, ToP0(38)), {}},
      {"it ends with both ready: the last percentage and direction",
       Reading(0x22, ToP1(99)),
       Reading(0x22),
       {"RebuildFinished warning D2 99% to P1"}},
      // A rebuild is finished only when the pair is whole again, whichever
      // member let it down.
      {"it ends with P0 gone",
       Reading(0x22, ToP0(37)),
       Reading(0x24),
       {"MemberRemoved critical D2 SERIAL-P0"}},
      {"it ends with P1 gone",
       Reading(0x22, ToP1(37)),
       Reading(0x42),
       {"MemberRemoved critical D2 SERIAL-P1"}},
      {"it ends with P1 failed",
       Reading(0x22, ToP1(37)),
       Reading(0x82),
       {"MemberFailed critical D2 SERIAL-P1"}},
      {"an enclosure appears with a failed member",
       kAbsent,
       Reading(0x82),
       {"EnclosureAdded info D2", "MemberInitialized info D2 SERIAL-P0",
        "MemberFailed critical D2 SERIAL-P1"}},
      {"one appears and does not answer",
       kAbsent,
       Unanswered(0x22),
       {"EnclosureAdded info D2", "StatusUnreadable warning D2"}},
      {"it goes", Reading(0x22, ToP0(37)), kAbsent, {"EnclosureRemoved warning D2"}},
      {"it stops answering", Reading(0x22), Unanswered(0x22), {"StatusUnreadable warning D2"}},
      {"and still does not", Unanswered(0x22), Unanswered(0x22), {}},
      {"it answers again, P0 gone meanwhile",
       Unanswered(0x22),
       Reading(0x24),
       {"StatusReadable info D2", "MemberRemoved critical D2 SERIAL-P0"}},
      {"another program takes it", Reading(0x22), Held(0x22), {"EnclosureBusy info D2"}},
      {"and keeps it", Held(0x22), Held(0x22), {}},
      {"one appears held",
       kAbsent,
       Held(0x22),
       {"EnclosureAdded info D2", "EnclosureBusy info D2"}},
      {"held, then silent", Held(0x22), Unanswered(0x22), {"StatusUnreadable warning D2"}},
      {"silent, then held", Unanswered(0x22), Held(0x22), {"EnclosureBusy info D2"}},
      {"let go, P1 failed meanwhile",
       Held(0x22),
       Reading(0x82),
       {"StatusReadable info D2", "MemberFailed critical D2 SERIAL-P1"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> events;
    for (const EnclosureEvent& event : DeriveEvents(1, c.before, c.now))
      events.push_back(Describe(event));
    EXPECT_EQ(events, c.events) << c.name;
  }
}

}  // namespace
}  // namespace px
