#include "app/platform/disk_permission.h"

namespace px::app {

// Only a back end that names disks to the user reports a refused one; on
// Windows an administrator opens every disk and anyone else none, and the
// program has always said "CreateFile blocked!" then.
std::string DiskPermissionAdvice(px::Transport& transport) {
  const auto denied = transport.RefusedDisk();
  if (!denied) return {};
  return "No permission to open " +
         (denied->node.empty() ? std::string("the disks") : denied->node) +
         ": run as root, or give your user read/write access to it (e.g. add it to group " +
         denied->group + ")";
}

}  // namespace px::app
