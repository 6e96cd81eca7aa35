#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <string_view>

#include "bus/sd_bus_handles.h"

namespace px::bus {

// Told each property of the wanted interface on one object, with the reply
// at its variant: it reads the variant (or skips it) and returns what sd-bus
// returned, negative to stop.
using PropertyReader =
    std::function<int(std::string_view path, std::string_view name, sd_bus_message* reply)>;
// Told that an object with the wanted interface has been read whole.
using ObjectDone = std::function<void(std::string_view path)>;

// A call of pxraidd's `member` on `path`, made so that it never starts the
// service: one that is not running fails at once as having no owner. A
// negative errno when the message could not be made.
int NewServiceCall(sd_bus* bus, const char* path, const char* interface, const char* member,
                   Message& call);

// pxraidd's GetManagedObjects, never starting the service, waiting at most
// `timeoutMicros`: its answer in `reply`, or a negative errno with `error`.
int ListServiceObjects(sd_bus* bus, uint64_t timeoutMicros, BusError& error, Message& reply);

// Walks GetManagedObjects' answer (a{oa{sa{sv}}}): every property of
// `interface` goes to `read`, every other one is skipped, and `done` follows
// each object that has the interface. A negative errno when the answer is
// not of that shape.
int ReadManagedObjects(sd_bus_message* reply, std::string_view interface,
                       const PropertyReader& read, const ObjectDone& done);

}  // namespace px::bus
