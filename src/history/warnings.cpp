#include "history/warnings.h"

#include "common/text.h"
#include "common/time_text.h"

namespace px::history {
namespace {

std::string SerialText(const std::string& serial) {
  return "serial " + PrintableUtf8(serial);
}

// The disk as its model and serial number tell it.
std::string DiskText(const MemberObservation& member) {
  const std::string serial = SerialText(member.serial);
  return member.model.empty() ? serial : PrintableUtf8(member.model) + ", " + serial;
}

std::string PastText(const DiskPast& past) {
  if (!past.seen) return "has not been seen before";
  std::string where = past.lastEnclosureName.empty()
                          ? std::string("another enclosure")
                          : "another enclosure (" + PrintableUtf8(past.lastEnclosureName) + ")";
  return "was last seen in " + std::string(PortName(past.lastPort)) + " of " + where + " on " +
         UtcDate(past.lastSeen);
}

std::string FailuresText(const DiskPast& past) {
  if (past.failures == 1) return "it failed before, on " + UtcDate(past.lastFailed);
  return "it has failed " + std::to_string(past.failures) + " times before, last on " +
         UtcDate(past.lastFailed);
}

Event WarningOf(const Observation& now, std::string_view name, Severity severity,
                std::optional<Port> port, std::string message) {
  Event event;
  event.enclosureId = now.enclosureId;
  event.time = now.time;
  event.name = std::string(name);
  event.severity = severity;
  event.port = port;
  if (port) event.serial = now.members[IndexOf(*port)].serial;
  event.message = std::move(message);
  return event;
}

bool Swapped(const EnclosureMemory& before, const Observation& now) {
  const std::string& s0 = now.members[0].serial;
  const std::string& s1 = now.members[1].serial;
  return before.answered && !s0.empty() && !s1.empty() && s0 != s1 &&
         s0 == before.bays[1].pairSerial && s1 == before.bays[0].pairSerial &&
         (Arrived(before, now, Port::P0) || Arrived(before, now, Port::P1));
}

Event SwappedWarning(const Observation& now) {
  const std::string both = "P0 and P1 hold each other's disks (" +
                           SerialText(now.members[0].serial) + " belongs in P1, " +
                           SerialText(now.members[1].serial) + " in P0)";
  if (now.mode != kModeMirror) {
    return WarningOf(now, kMembersSwapped, Severity::Warning, std::nullopt,
                     both +
                         ": power the enclosure off and put each disk back in its own bay before "
                         "you use the volume.");
  }
  if (!now.rebuild) {
    return WarningOf(now, kMembersSwapped, Severity::Critical, std::nullopt,
                     both +
                         ". A rebuild would copy one over the other, and its direction decides "
                         "whose data survives: power the enclosure off and put each disk back in "
                         "its own bay before a rebuild starts.");
  }
  const std::string target =
      SerialText(now.members[IndexOf(TargetOf(now.rebuild->direction))].serial);
  const std::string source =
      SerialText(now.members[IndexOf(SourceOf(now.rebuild->direction))].serial);
  return WarningOf(now, kMembersSwapped, Severity::Critical, std::nullopt,
                   both + ", and a rebuild " + std::string(DirectionText(now.rebuild->direction)) +
                       " runs: " + target + " is being overwritten with " + source +
                       "'s data. If " + target +
                       " held the newer data, power the enclosure off now and put each disk back "
                       "in its own bay.");
}

Event ForeignWarning(const Observation& now, Port port, const DiskPast& past) {
  const MemberObservation& member = now.members[IndexOf(port)];
  const std::string disk =
      std::string(PortName(port)) + ": " + DiskText(member) + " " + PastText(past);
  if (!now.rebuild) {
    return WarningOf(now, kForeignMember, Severity::Warning, port,
                     disk +
                         ". The degraded mirror will be rebuilt onto it, and everything on it "
                         "overwritten: if it holds data you need, take it out before the rebuild "
                         "starts.");
  }
  const std::string rebuild =
      "the rebuild " + std::string(DirectionText(now.rebuild->direction)) + " that runs";
  if (TargetOf(now.rebuild->direction) == port) {
    return WarningOf(now, kForeignMember, Severity::Warning, port,
                     disk + ", and " + rebuild +
                         " overwrites everything on it: if it holds data you need, power the "
                         "enclosure off now.");
  }
  const Port other = Other(port);
  const std::string mirrorDisk =
      SerialText(now.members[IndexOf(other)].serial) + " in " + std::string(PortName(other));
  return WarningOf(now, kForeignMember, Severity::Critical, port,
                   disk + ", and " + rebuild + " copies it over " + mirrorDisk +
                       ": the mirror's data is being overwritten. Power the enclosure off now "
                       "and take that disk out.");
}

Event SmallerWarning(const Observation& now, Port port) {
  const MemberObservation& member = now.members[IndexOf(port)];
  const std::string volume = std::to_string(now.volumeSectors);
  return WarningOf(now, kSmallerMember, Severity::Warning, port,
                   std::string(PortName(port)) + ": " + DiskText(member) + " has " +
                       std::to_string(member.capacitySectors) +
                       " sectors, fewer than the volume's " + volume +
                       ": the mirror cannot be rebuilt onto it and stays without a second copy. "
                       "Replace it with a disk of at least " +
                       volume + " sectors.");
}

Event RepeatWarning(const Observation& now, Port port, const DiskPast& past, bool failed) {
  const std::string disk =
      std::string(PortName(port)) + ": " + DiskText(now.members[IndexOf(port)]);
  if (failed) {
    return WarningOf(now, kRepeatFailure, Severity::Warning, port,
                     disk + " failed again; " + FailuresText(past) +
                         ". Replace it with another disk instead of rebuilding onto it.");
  }
  return WarningOf(now, kRepeatFailure, Severity::Warning, port,
                   disk + " is in, and " + FailuresText(past) +
                       ". A disk that has failed may fail again: use another one if you can.");
}

}  // namespace

std::vector<Event> DeriveWarnings(const EnclosureMemory& before, const Observation& now,
                                  const std::array<DiskPast, 2>& pasts) {
  std::vector<Event> warnings;
  if (!now.answered) return warnings;
  if (Swapped(before, now)) warnings.push_back(SwappedWarning(now));
  const bool mirror = now.mode == kModeMirror;
  for (Port port : kPorts) {
    const MemberObservation& member = now.members[IndexOf(port)];
    const MemberObservation& other = now.members[IndexOf(Other(port))];
    const DiskPast& past = pasts[IndexOf(port)];
    const bool arrived = Arrived(before, now, port) && member.state != MemberState::Failed;
    const bool smaller = arrived && mirror && member.capacitySectors > 0 &&
                         member.capacitySectors < now.volumeSectors;
    if (smaller) warnings.push_back(SmallerWarning(now, port));
    if (member.serial.empty()) continue;
    const bool toRebuild = member.state == MemberState::Inserted || now.rebuild.has_value();
    const bool stranger = !past.seen || past.lastEnclosureId != now.enclosureId;
    if (arrived && mirror && !smaller && other.state == MemberState::Ready && toRebuild && stranger)
      warnings.push_back(ForeignWarning(now, port, past));
    const bool failed = FailedAnew(before, now, port);
    if (past.failures > 0 && (failed || arrived))
      warnings.push_back(RepeatWarning(now, port, past, failed));
  }
  return warnings;
}

}  // namespace px::history
