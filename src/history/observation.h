#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What the history is told: each enclosure as one poll found it, and the
// events the program derived from it. The program's own snapshots map onto
// these; the history needs nothing else of it.

namespace px::history {

enum class Port : uint8_t { P0, P1 };
inline constexpr std::array<Port, 2> kPorts{Port::P0, Port::P1};
inline constexpr std::size_t IndexOf(Port port) {
  return static_cast<std::size_t>(port);
}
inline constexpr Port Other(Port port) {
  return port == Port::P0 ? Port::P1 : Port::P0;
}
std::string_view PortName(Port port);  // "P0"

// Absent: no disk in the bay. Inserted: a disk that is not (yet) part of the
// volume.
enum class MemberState : uint8_t { Absent, Ready, Inserted, Failed };

enum class RebuildDirection : uint8_t { TowardsP0, TowardsP1 };
// The port copied from and the one copied to.
inline constexpr Port SourceOf(RebuildDirection direction) {
  return direction == RebuildDirection::TowardsP0 ? Port::P1 : Port::P0;
}
inline constexpr Port TargetOf(RebuildDirection direction) {
  return Other(SourceOf(direction));
}
std::string_view DirectionText(RebuildDirection direction);  // "P0 --> P1"

// The controller's array mode codes.
inline constexpr uint8_t kModeStriping = 0;
inline constexpr uint8_t kModeMirror = 1;
inline constexpr uint8_t kModeNraid = 2;
inline constexpr uint8_t kModeJbod = 3;
inline constexpr uint8_t kModeBypass = 63;

struct MemberObservation {
  MemberState state = MemberState::Absent;
  // Device texts are bytes, not necessarily UTF-8. The history trims their
  // spaces; the texts and capacity of an absent member are not looked at.
  std::string model;
  std::string serial;
  uint64_t capacitySectors = 0;
};

struct RebuildObservation {
  RebuildDirection direction = RebuildDirection::TowardsP1;
  uint8_t percent = 0;  // whole percents, as the controller reports them
  friend bool operator==(const RebuildObservation&, const RebuildObservation&) = default;
};

// One enclosure at one poll.
struct Observation {
  // Stays the same for the enclosure whichever drive or device number it
  // gets: the history is kept per enclosure by this.
  std::string enclosureId;
  int64_t time = 0;  // Unix seconds
  // Its status was read by this poll; otherwise nothing below is looked at.
  bool answered = false;
  std::string name;
  std::string firmware;
  uint8_t mode = kModeMirror;
  uint64_t volumeSectors = 0;
  std::array<MemberObservation, 2> members;  // P0, P1
  // Set while a rebuild or copy runs.
  std::optional<RebuildObservation> rebuild;
};

enum class Severity : uint8_t { Critical, Warning, Info };
std::string_view SeverityName(Severity severity);  // "critical", "warning", "info"

// An event of one enclosure: one the program derived, or a warning of the
// history's own.
struct Event {
  std::string enclosureId;
  int64_t time = 0;  // Unix seconds
  std::string name;  // stable: "MemberFailed", "ForeignMember"
  Severity severity = Severity::Info;
  std::optional<Port> port;
  std::string serial;   // the member's disk, when the event is about one
  std::string message;  // one line for people
};

}  // namespace px::history
