#include <string>

#include "cli/commands.h"
#include "cli/sleep_inhibitor.h"

namespace px::cli {
namespace {

// A pxraid built without a way to ask the system: the user hears that once.
class UnaskedInhibitor final : public SleepInhibitor {
 public:
  void Acquire(std::string_view why) override {
    notice_.Tell(why, "this pxraid was built without a way to ask the system");
  }
  void Release() override {}

 private:
  SleepNotHeldNotice notice_{[](std::string_view text) { Complain(std::string(text)); }};
};

}  // namespace

std::unique_ptr<SleepInhibitor> CreateSleepInhibitor() {
  return std::make_unique<UnaskedInhibitor>();
}

}  // namespace px::cli
