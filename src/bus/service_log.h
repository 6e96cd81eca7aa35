#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bus/sd_bus_handles.h"
#include "eventlog/logged_elsewhere.h"

namespace px::bus {

// pxraidd's day log, read with its Manager's GetLog: what the window's event
// log viewer follows while the service polls the disks.
class ServiceLog final : public LoggedElsewhere {
 public:
  // `address`: the bus the service is on; empty for the system bus.
  explicit ServiceLog(std::string address = {}) : address_(std::move(address)) {}

  // One GetLog of the day of the service's last poll, never starting the
  // service, asked on the window's thread and waited for briefly.
  std::optional<std::vector<std::string>> DayLines() override;

 private:
  std::string address_;
  Bus bus_;
};

}  // namespace px::bus
