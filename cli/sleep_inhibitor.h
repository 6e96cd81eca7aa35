#pragma once

#include <memory>

#include "common/sleep_inhibitor.h"

namespace px::cli {

// What an upgrade holds to keep the machine awake: logind through sd-bus on
// Linux (bus::SdBusLogindInhibitor), the execution state on Windows. When
// sleep cannot be held off, it says so once on standard error and the
// upgrade goes on.
std::unique_ptr<SleepInhibitor> CreateSleepInhibitor();

}  // namespace px::cli
