#pragma once

#include <systemd/sd-bus.h>

#include <cstring>
#include <memory>
#include <string>

// sd-bus's connections and messages, let go of when they go out of scope:
// for every client of a message bus in the project (logind, pxraidd, the
// desktop's notification service).

namespace px::bus {

struct CloseBus {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct UnrefMessage {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, CloseBus>;
using Message = std::unique_ptr<sd_bus_message, UnrefMessage>;

// A call's error, freed with it.
struct BusError {
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, which is a C compound literal
  BusError() = default;
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  ~BusError() { sd_bus_error_free(&error); }
  // Its message, or the system's words for `rc`.
  std::string Text(int rc) const {
    if (error.message != nullptr && *error.message != '\0') return error.message;
    return std::strerror(rc < 0 ? -rc : rc);
  }
  // No service owns the name (activation is off): there is none to ask,
  // which is no failure of it.
  bool NoOwner() const {
    return sd_bus_error_has_names(&error, SD_BUS_ERROR_SERVICE_UNKNOWN,
                                  SD_BUS_ERROR_NAME_HAS_NO_OWNER);
  }
};

// A connection to the bus at `address`, or to the system bus when it is
// empty; a negative errno when there is none. Tests hand in the address of a
// private bus.
int Connect(const std::string& address, Bus& bus);

// Somebody owns `name` on the bus at `address` (empty: the system bus); false
// too when the bus cannot be reached.
bool NameHasOwner(const std::string& address, const char* name);
// The same asked on a connection the caller has.
bool NameHasOwner(sd_bus* bus, const char* name);

}  // namespace px::bus
