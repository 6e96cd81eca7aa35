#pragma once

#include <string>

#include "common/linux/logind_inhibitor.h"

namespace px::bus {

// logind's inhibitor through sd-bus, for the window and pxraid alike:
// logind on the bus at `busAddress`, the system bus when that is empty
// (DBUS_SYSTEM_BUS_ADDRESS when set, else the standard socket). A connection
// is made for each request and closed again, as an upgrade asks once. The
// call blocks the calling thread for as long as logind takes (a few
// milliseconds; kLogindReplyMs at most): in the window no events run
// meanwhile, so nothing can reach the device in between.
class SdBusLogindInhibitor final : public LogindInhibitor {
 public:
  SdBusLogindInhibitor(std::string who, Notice notice, std::string busAddress = {});

 protected:
  Reply Inhibit(const Request& request) override;

 private:
  std::string busAddress_;
};

}  // namespace px::bus
