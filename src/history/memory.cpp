#include "history/memory.h"

#include "history/estimator.h"

namespace px::history {
namespace {

bool Present(const MemberObservation& member) {
  return member.state != MemberState::Absent;
}

void AdvanceRebuild(EnclosureMemory& next, const Observation& now) {
  const std::optional<RebuildMemory> before = next.rebuild;
  if (!now.rebuild) {
    next.rebuild.reset();
  } else if (before && before->direction == now.rebuild->direction &&
             now.rebuild->percent >= before->percent) {
    RebuildMemory& rebuild = *next.rebuild;
    if (now.rebuild->percent != rebuild.percent) {
      rebuild.percent = now.rebuild->percent;
      rebuild.percentAt = now.time;
      if (!rebuild.firstStepAt) {
        rebuild.firstStepAt = now.time;
        rebuild.firstStepPercent = rebuild.percent;
      }
    }
    return;
  } else {
    // A new one, or the controller began again.
    RebuildMemory rebuild;
    rebuild.started = now.time;
    rebuild.direction = now.rebuild->direction;
    rebuild.sourceSerial = now.members[IndexOf(SourceOf(rebuild.direction))].serial;
    rebuild.targetSerial = now.members[IndexOf(TargetOf(rebuild.direction))].serial;
    rebuild.sectors = now.volumeSectors;
    rebuild.startPercent = rebuild.percent = now.rebuild->percent;
    next.rebuild = rebuild;
  }
  if (before) {
    if (const auto rate = RateOf(*before)) next.lastRate = rate;
  }
}

}  // namespace

std::optional<RebuildRate> RateOf(const RebuildMemory& rebuild) {
  if (!rebuild.firstStepAt || !rebuild.percentAt) return std::nullopt;
  const auto rate = MeasuredRate(*rebuild.firstStepAt, rebuild.firstStepPercent, *rebuild.percentAt,
                                 rebuild.percent);
  if (!rate) return std::nullopt;
  return RebuildRate{*rate, rebuild.sectors};
}

std::string Trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

Observation Normalized(const Observation& observation) {
  Observation normal = observation;
  normal.name = Trimmed(observation.name);
  normal.firmware = Trimmed(observation.firmware);
  for (MemberObservation& member : normal.members) {
    if (Present(member)) {
      member.model = Trimmed(member.model);
      member.serial = Trimmed(member.serial);
    } else {
      member = MemberObservation{};
    }
  }
  return normal;
}

Event Normalized(const Event& event) {
  Event normal = event;
  normal.serial = Trimmed(event.serial);
  return normal;
}

EnclosureMemory Advance(const EnclosureMemory& before, const Observation& now,
                        int64_t lastSeenEvery) {
  EnclosureMemory next = before;
  if (next.row == 0 || now.time - next.lastSeen >= lastSeenEvery) next.lastSeen = now.time;
  if (!now.answered) return next;
  next.answered = true;
  next.name = now.name;
  next.firmware = now.firmware;
  next.mode = now.mode;
  next.volumeSectors = now.volumeSectors;
  for (Port port : kPorts) {
    BayMemory& bay = next.bays[IndexOf(port)];
    bay.state = now.members[IndexOf(port)].state;
    bay.serial = now.members[IndexOf(port)].serial;
  }
  AdvanceRebuild(next, now);
  const BayMemory& p0 = next.bays[0];
  const BayMemory& p1 = next.bays[1];
  if (p0.state == MemberState::Ready && p1.state == MemberState::Ready && !now.rebuild &&
      !p0.serial.empty() && !p1.serial.empty() && p0.serial != p1.serial) {
    for (BayMemory& bay : next.bays) bay.pairSerial = bay.serial;
  }
  return next;
}

bool Arrived(const EnclosureMemory& before, const Observation& now, Port port) {
  const MemberObservation& member = now.members[IndexOf(port)];
  const BayMemory& bay = before.bays[IndexOf(port)];
  return before.answered && Present(member) &&
         (bay.state == MemberState::Absent || bay.serial != member.serial);
}

bool FailedAnew(const EnclosureMemory& before, const Observation& now, Port port) {
  const MemberObservation& member = now.members[IndexOf(port)];
  const BayMemory& bay = before.bays[IndexOf(port)];
  return member.state == MemberState::Failed &&
         (!before.answered || bay.state != MemberState::Failed || bay.serial != member.serial);
}

}  // namespace px::history
