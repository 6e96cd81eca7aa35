#include "app/platform/disk_permission.h"

namespace px::app {

// Windows opens the disks for every administrator and refuses everyone else
// with the same "CreateFile blocked!" the program has always shown.
std::string DiskPermissionAdvice(px::Transport& /*transport*/) {
  return {};
}

}  // namespace px::app
