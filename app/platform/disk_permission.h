#pragma once

#include <string>

#include "device/transport.h"

namespace px::app {

// When the last look at the disks found some that exist but were refused for
// lack of permission, the sentence that tells the user what to do about it;
// otherwise empty. Without it a user who is not allowed at the disks would
// only ever see "No Drive found! ".
std::string DiskPermissionAdvice(px::Transport& transport);

}  // namespace px::app
