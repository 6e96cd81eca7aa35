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

bool NameHasOwner(const std::string& address, const char* name) {
  Bus bus;
  return Connect(address, bus) >= 0 && NameHasOwner(bus.get(), name);
}

bool NameHasOwner(sd_bus* bus, const char* name) {
  BusError error;
  sd_bus_message* rawReply = nullptr;
  const int rc = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                    "org.freedesktop.DBus", "NameHasOwner", &error.error, &rawReply,
                                    "s", name);
  const Message reply(rawReply);
  int owned = 0;
  return rc >= 0 && sd_bus_message_read(reply.get(), "b", &owned) >= 0 && owned != 0;
}

}  // namespace px::bus
