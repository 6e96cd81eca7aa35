#include <utility>

#include "app/platform/sleep_inhibitor.h"

namespace px::app {

std::unique_ptr<px::SleepInhibitor> CreateSleepInhibitor(px::Notice notice) {
  return std::make_unique<px::UnaskedSleepInhibitor>(
      std::move(notice), "this program was built without a way to ask the system");
}

}  // namespace px::app
