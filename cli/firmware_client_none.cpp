#include "cli/firmware_client.h"

namespace px::cli {

// Built without sd-bus: the firmware commands always run here.
std::optional<int> FirmwareThroughService(const FirmwareRequest&) {
  return std::nullopt;
}

}  // namespace px::cli
