#pragma once

#include <optional>

#include "cli/commands.h"

namespace px::cli {

// status answered by pxraidd over the system bus (DBUS_SYSTEM_BUS_ADDRESS
// when set), so that a user who may not open the disks still gets the
// answer: printed as a run of its own would print it, and its exit status
// returned. Nothing when the disks are to be read here instead: no service
// owns the name, or it did not answer (said once on standard error, unless
// it merely went away), or this pxraid was built without sd-bus.
std::optional<int> StatusFromService(const StatusOptions& options);

}  // namespace px::cli
