#include "bus/sd_bus_handles.h"

namespace px::bus {

int Connect(const std::string& address, Bus& bus) {
  sd_bus* raw = nullptr;
  int rc = 0;
  if (address.empty()) {
    rc = sd_bus_open_system(&raw);
  } else if ((rc = sd_bus_new(&raw)) >= 0) {
    if ((rc = sd_bus_set_address(raw, address.c_str())) >= 0 &&
        (rc = sd_bus_set_bus_client(raw, 1)) >= 0) {
      rc = sd_bus_start(raw);
    }
  }
  bus.reset(raw);
  return rc;
}

}  // namespace px::bus
