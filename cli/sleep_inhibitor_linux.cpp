#include <string>

#include "bus/logind_inhibitor.h"
#include "cli/commands.h"
#include "cli/sleep_inhibitor.h"

namespace px::cli {

std::unique_ptr<SleepInhibitor> CreateSleepInhibitor() {
  return std::make_unique<bus::SdBusLogindInhibitor>(
      "pxraid", [](std::string_view text) { Complain(std::string(text)); });
}

}  // namespace px::cli
