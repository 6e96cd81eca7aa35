#pragma once

#include <optional>

#include "cli/commands.h"

namespace px::cli {

// What a firmware command asks pxraidd to do for it.
enum class FirmwareWork { Upgrade, Restore, Backup };
struct FirmwareRequest {
  FirmwareWork work = FirmwareWork::Upgrade;
  std::string file;
  int device = 1;
  std::string enclosure;  // its stable id; chosen instead of `device` when given
  bool yes = false;
  bool noBackup = false;
};

// The firmware command run as a job of pxraidd over the system bus
// (DBUS_SYSTEM_BUS_ADDRESS when set), so that a user who may not open the
// disks can, when polkit lets them, and so that the work goes on when this
// program is stopped: the job's lines are printed as it prints them, its
// questions asked here, and its exit status returned. Nothing when the
// command is to run here instead: no service owns the name, it did not
// answer (said once on standard error), or this pxraid was built without
// sd-bus.
std::optional<int> FirmwareThroughService(const FirmwareRequest& request);

}  // namespace px::cli
