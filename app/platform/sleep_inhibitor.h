#pragma once

#include <memory>

#include "common/sleep_inhibitor.h"

namespace px::app {

// What the window's upgrade holds to keep the machine awake: logind on the
// system bus through the project's sd-bus client (bus::SdBusLogindInhibitor)
// on Linux, the execution state on Windows. `notice` tells the user, once,
// when sleep cannot be held off.
std::unique_ptr<px::SleepInhibitor> CreateSleepInhibitor(px::Notice notice);

}  // namespace px::app
