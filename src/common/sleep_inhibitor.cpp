#include "common/sleep_inhibitor.h"

namespace px {

void SleepNotHeldNotice::Tell(std::string_view why, std::string_view reason) {
  if (told_) return;
  told_ = true;
  if (!notice_) return;
  notice_(std::string(why) + ", but sleep and shutdown are not held off (" + std::string(reason) +
          "): do not let this machine sleep or shut down until it ends.");
}

}  // namespace px
