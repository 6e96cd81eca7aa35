#pragma once

#include <memory>
#include <string>

#include "common/sleep_inhibitor.h"

#ifdef __linux__
#include "common/linux/logind_inhibitor.h"
#endif

namespace px::cli {

// What an upgrade holds to keep the machine awake: logind through sd-bus on
// Linux, the execution state on Windows. When sleep cannot be held off, it
// says so once on standard error and the upgrade goes on.
std::unique_ptr<SleepInhibitor> CreateSleepInhibitor();

#ifdef __linux__
// logind on the bus at `busAddress`; the system bus when that is empty
// (DBUS_SYSTEM_BUS_ADDRESS when set, else the standard socket). A connection
// is made for each request and closed again: pxraid asks once per run.
class SdBusLogindInhibitor final : public LogindInhibitor {
 public:
  SdBusLogindInhibitor(std::string who, Notice notice, std::string busAddress = {});

 protected:
  Reply Inhibit(const Request& request) override;

 private:
  std::string busAddress_;
};
#endif

}  // namespace px::cli
