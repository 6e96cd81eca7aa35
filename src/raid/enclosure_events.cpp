#include "raid/enclosure_events.h"

namespace px {
namespace {

struct KindInfo {
  std::string_view name;
  Severity severity;
};

// Indexed by EnclosureEventKind. Critical: the volume has lost a disk.
// Warning: someone should look (a disk that is not part of the volume, an
// enclosure that went away or stopped answering) or would want to hear (the
// pair is whole again after a rebuild). Info: everything else, among it an
// enclosure that another program works on, since nothing is wrong with it.
constexpr std::array<KindInfo, 12> kKinds = {{
    {"EnclosureAdded", Severity::Info},
    {"EnclosureRemoved", Severity::Warning},
    {"StatusUnreadable", Severity::Warning},
    {"StatusReadable", Severity::Info},
    {"EnclosureBusy", Severity::Info},
    {"MemberFailed", Severity::Critical},
    {"MemberRemoved", Severity::Critical},
    {"MemberInserted", Severity::Warning},
    {"MemberInitialized", Severity::Info},
    {"RebuildStarted", Severity::Info},
    {"RebuildProgress", Severity::Info},
    {"RebuildFinished", Severity::Warning},
}};

const KindInfo& InfoOf(EnclosureEventKind kind) {
  return kKinds[static_cast<std::size_t>(kind)];
}

std::optional<EnclosureEventKind> EnteredKind(MemberClass entered) {
  switch (entered) {
    case MemberClass::Off:
      return EnclosureEventKind::MemberRemoved;
    case MemberClass::Ready:
      return EnclosureEventKind::MemberInitialized;
    case MemberClass::Failed:
      return EnclosureEventKind::MemberFailed;
    case MemberClass::Inserted:
      return EnclosureEventKind::MemberInserted;
    case MemberClass::None:
      break;
  }
  return std::nullopt;
}

}  // namespace

MemberSnapshot SnapshotOf(const MemberView& member) {
  return {member.port(),   member.Classes(),         member.Model(),
          member.Serial(), member.CapacitySectors(), member.LinkSpeed()};
}

std::string_view EventName(EnclosureEventKind kind) {
  return InfoOf(kind).name;
}

Severity SeverityOf(EnclosureEventKind kind) {
  return InfoOf(kind).severity;
}

std::string_view SeverityName(Severity severity) {
  switch (severity) {
    case Severity::Critical:
      return "critical";
    case Severity::Warning:
      return "warning";
    case Severity::Info:
      break;
  }
  return "info";
}

EnclosureSnapshot SnapshotOf(const StatusRecordView& status, bool answered, bool busy) {
  EnclosureSnapshot snapshot;
  snapshot.present = true;
  snapshot.answered = answered;
  snapshot.busy = !answered && busy;
  for (Port port : kBothPorts) snapshot.members[IndexOf(port)] = SnapshotOf(status.Member(port));
  if (status.RebuildRuns())
    snapshot.rebuild = RebuildSnapshot{status.Percent(), status.Direction()};
  return snapshot;
}

std::vector<EnclosureEvent> DeriveEvents(std::size_t device, const EnclosureSnapshot& before,
                                         const EnclosureSnapshot& now) {
  std::vector<EnclosureEvent> events;
  const auto add = [&](EnclosureEventKind kind) -> EnclosureEvent& {
    return events.emplace_back(EnclosureEvent{kind, device, std::nullopt, std::nullopt});
  };
  if (!now.present) {
    if (before.present) add(EnclosureEventKind::EnclosureRemoved);
    return events;
  }
  if (!before.present) add(EnclosureEventKind::EnclosureAdded);
  if (!now.answered) {
    // Told once for each way of not being read: silent, or held elsewhere.
    if (!before.present || before.answered || before.busy != now.busy) {
      add(now.busy ? EnclosureEventKind::EnclosureBusy : EnclosureEventKind::StatusUnreadable);
    }
    return events;
  }
  if (before.present && !before.answered) add(EnclosureEventKind::StatusReadable);

  // A device's first reading is compared with nothing: its members' classes
  // and a running rebuild are all news.
  static const EnclosureSnapshot kNoReading;
  const EnclosureSnapshot& last = before.present ? before : kNoReading;
  for (Port port : kBothPorts) {
    const MemberSnapshot& member = now.members[IndexOf(port)];
    const MemberClasses was = last.members[IndexOf(port)].classes;
    const MemberClass entered = member.classes.First();
    if (entered == MemberClass::None || was.Has(entered)) continue;
    add(*EnteredKind(entered)).member = member;
  }
  if (now.rebuild) {
    if (!last.rebuild) {
      add(EnclosureEventKind::RebuildStarted).rebuild = now.rebuild;
    } else if (last.rebuild->percent != now.rebuild->percent) {
      add(EnclosureEventKind::RebuildProgress).rebuild = now.rebuild;
    }
  } else if (last.rebuild && now.members[IndexOf(Port::P0)].classes.Has(MemberClass::Ready) &&
             now.members[IndexOf(Port::P1)].classes.Has(MemberClass::Ready)) {
    add(EnclosureEventKind::RebuildFinished).rebuild = last.rebuild;
  }
  return events;
}

}  // namespace px
