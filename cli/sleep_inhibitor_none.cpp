#include <string>

#include "cli/commands.h"
#include "cli/sleep_inhibitor.h"

namespace px::cli {

std::unique_ptr<SleepInhibitor> CreateSleepInhibitor() {
  return std::make_unique<UnaskedSleepInhibitor>(
      [](std::string_view text) { Complain(std::string(text)); },
      "this pxraid was built without a way to ask the system");
}

}  // namespace px::cli
