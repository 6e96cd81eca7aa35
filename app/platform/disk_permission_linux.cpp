#include "app/platform/disk_permission.h"
#include "device/linux/sg_transport.h"

namespace px::app {

std::string DiskPermissionAdvice(px::Transport& transport) {
  const auto denied = px::FindDeniedDisk(transport);
  if (!denied) return {};
  return "No permission to open " +
         (denied->node.empty() ? std::string("the disks") : denied->node) +
         ": run as root, or give your user read/write access to it (e.g. add it to group " +
         denied->group + ")";
}

}  // namespace px::app
