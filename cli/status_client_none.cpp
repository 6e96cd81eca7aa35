#include "cli/status_client.h"

namespace px::cli {

// Built without sd-bus: status always reads the disks itself.
std::optional<int> StatusFromService(const StatusOptions&) {
  return std::nullopt;
}

}  // namespace px::cli
