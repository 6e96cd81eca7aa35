#include "history/observation.h"

namespace px::history {

std::string_view PortName(Port port) {
  return port == Port::P0 ? "P0" : "P1";
}

std::string_view DirectionText(RebuildDirection direction) {
  return direction == RebuildDirection::TowardsP0 ? "P1 --> P0" : "P0 --> P1";
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

}  // namespace px::history
