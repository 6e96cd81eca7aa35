#pragma once

#include <systemd/sd-bus.h>

#include <memory>

// sd-bus's connections and messages, let go of when they go out of scope:
// for pxraid's two clients of the system bus (logind, pxraidd).

namespace px::cli {

struct CloseBus {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct UnrefMessage {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, CloseBus>;
using Message = std::unique_ptr<sd_bus_message, UnrefMessage>;

}  // namespace px::cli
