#include <string>

#include "monitor/member_history.h"

namespace px::monitor {

std::string EnclosureId(HostInventory& inventory, PhysicalDrive drive) {
  std::string id = inventory.BridgeId(drive);
  return id.empty() ? "drive-" + std::to_string(drive.number()) : id;
}

}  // namespace px::monitor
