#include <string>

#include "monitor/member_history.h"

namespace px::monitor {

std::string EnclosureId(HostInventory& inventory, unsigned drive) {
  std::string id = inventory.BridgeId(drive);
  return id.empty() ? "drive-" + std::to_string(drive) : id;
}

Alert AlertOf(const HistoryWarning& warning) {
  Alert alert;
  alert.name = warning.name;
  alert.severity = warning.severity;
  alert.device = warning.device;
  alert.member = warning.member;
  alert.message = "D" + std::to_string(warning.device + 1) + " " + warning.message;
  return alert;
}

}  // namespace px::monitor
