#include <grp.h>
#include <sys/stat.h>

#include "app/platform/disk_permission.h"
#include "device/linux/sg_transport.h"

namespace px::app {

std::string DiskPermissionAdvice(px::Transport& transport) {
  auto* sg = dynamic_cast<px::SgTransport*>(&transport);
  if (sg == nullptr || !sg->PermissionDenied()) return {};
  const std::string node = sg->DeniedNode();
  std::string group = "disk";
  struct stat info {};
  if (!node.empty() && ::stat(node.c_str(), &info) == 0) {
    if (const struct group* owner = ::getgrgid(info.st_gid)) group = owner->gr_name;
  }
  return "No permission to open " + (node.empty() ? std::string("the disks") : node) +
         ": run as root, or give your user read/write access to it (e.g. add it to group " + group +
         ")";
}

}  // namespace px::app
