#include "raid/enclosure_health.h"

#include "raid/device_text.h"

namespace px {
namespace {

int Rank(Health health) {
  switch (health) {
    case Health::Ok:
      return 0;
    case Health::Warning:
      return 1;
    case Health::Unknown:
      return 2;
    case Health::Critical:
      return 3;
  }
  return 2;
}

// Each member is in one class after a decode; a record that says otherwise
// is read in the order failed, ready, inserted, absent.
bool Absent(MemberClasses classes) {
  return !classes.Has(MemberClass::Failed) && !classes.Has(MemberClass::Ready) &&
         !classes.Has(MemberClass::Inserted);
}

bool IsRedundantOrStriped(uint8_t mode) {
  return mode == kModeMirror || mode == kModeStriping;
}

}  // namespace

Health Worse(Health a, Health b) {
  return Rank(a) >= Rank(b) ? a : b;
}

const char* HealthName(Health health) {
  switch (health) {
    case Health::Ok:
      return "ok";
    case Health::Warning:
      return "warning";
    case Health::Critical:
      return "critical";
    case Health::Unknown:
      return "unknown";
  }
  return "unknown";
}

std::string_view DirectionText(RebuildDirection direction) {
  return direction == RebuildDirection::TowardsP0 ? "P1 --> P0" : "P0 --> P1";
}

Health Classify(const StatusRecordView& status, std::string& reason) {
  const uint8_t mode = status.Mode();
  int absent = 0;
  Port absentPort = Port::P0;
  for (Port port : kBothPorts) {
    const MemberClasses classes = status.Member(port).Classes();
    if (classes.Has(MemberClass::Failed)) {
      reason = std::string(PortName(port)) + " failed";
      return Health::Critical;
    }
    if (Absent(classes)) {
      ++absent;
      absentPort = port;
    }
  }
  if (absent == 2) {
    reason = "no member present";
    return Health::Critical;
  }
  if (absent == 1) {
    const std::string port(PortName(absentPort));
    if (IsRedundantOrStriped(mode)) {
      reason = port + " absent from the " + std::string(ModeName(mode));
      return Health::Critical;
    }
    reason = "single member (" + std::string(ModeName(mode)) + ")";
    return Health::Warning;
  }
  for (Port port : kBothPorts) {
    const MemberClasses classes = status.Member(port).Classes();
    if (classes.Has(MemberClass::Inserted) && !classes.Has(MemberClass::Ready)) {
      reason = std::string(PortName(port)) + " inserted, not part of the volume";
      return Health::Warning;
    }
  }
  if (status.RebuildRuns()) {
    reason = std::string(DirectionText(status.Direction())) + " " +
             std::to_string(status.Percent()) + "%";
    return Health::Warning;
  }
  reason = "both members ready";
  return Health::Ok;
}

}  // namespace px
