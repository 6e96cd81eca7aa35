#include <systemd/sd-bus.h>

#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "bus/sd_bus_handles.h"
#include "bus/service_names.h"
#include "cli/commands.h"
#include "cli/events_client.h"
#include "cli/json_format.h"
#include "cli/stop_signal.h"
#include "common/text.h"

namespace px::cli {

using bus::Bus;
using bus::BusError;
using bus::kManagerInterface;
using bus::kServiceName;
using bus::kServiceRoot;
namespace {

constexpr uint64_t kWaitMicros = 200000;

struct Following {
  bool json = false;
  bool owned = false;
};

// Everything an event carries is the device's or the service's text: made
// printable, one line each.
int OnEvent(sd_bus_message* message, void* userdata, sd_bus_error*) {
  const auto& following = *static_cast<Following*>(userdata);
  const char* enclosure = nullptr;
  const char* name = nullptr;
  const char* severity = nullptr;
  const char* text = nullptr;
  if (sd_bus_message_read(message, "ssss", &enclosure, &name, &severity, &text) < 0) return 0;
  if (following.json) {
    const nlohmann::ordered_json event = Versioned({{"enclosure", PrintableUtf8(enclosure)},
                                                    {"name", PrintableUtf8(name)},
                                                    {"severity", PrintableUtf8(severity)},
                                                    {"message", PrintableUtf8(text)}});
    std::cout << event.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
              << std::endl;
  } else {
    std::cout << PrintableUtf8(name) << ' ' << PrintableUtf8(severity) << ' '
              << (*enclosure != '\0' ? PrintableUtf8(enclosure) : std::string("-")) << ": "
              << PrintableUtf8(text) << std::endl;
  }
  return 0;
}

void Tell(Following& following, bool owned) {
  if (owned == following.owned) return;
  following.owned = owned;
  Announce(owned ? "pxraidd is running; following its events"
                 : "pxraidd is not running; waiting for it");
}

int OnOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
  const char* name = nullptr;
  const char* before = nullptr;
  const char* after = nullptr;
  if (sd_bus_message_read(message, "sss", &name, &before, &after) >= 0) {
    Tell(*static_cast<Following*>(userdata), after != nullptr && *after != '\0');
  }
  return 0;
}

}  // namespace

int FollowServiceEvents(bool json) {
  InstallStopHandler();
  sd_bus* raw = nullptr;
  if (const int rc = sd_bus_open_system(&raw); rc < 0) {
    Complain("cannot reach the system bus: " + BusError().Text(rc));
    return kExitNoDevice;
  }
  const Bus bus(raw);
  Following following{json, false};
  int rc = sd_bus_match_signal(bus.get(), nullptr, kServiceName, kServiceRoot, kManagerInterface,
                               "Event", &OnEvent, &following);
  if (rc >= 0) {
    rc = sd_bus_match_signal(bus.get(), nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "NameOwnerChanged", &OnOwnerChanged,
                             &following);
  }
  if (rc < 0) {
    Complain("cannot follow pxraidd's events: " + BusError().Text(rc));
    return kExitFailed;
  }
  // Whether it runs now; from here on the bus tells when that changes.
  const bool owned = bus::NameHasOwner(bus.get(), kServiceName);
  following.owned = !owned;  // so that the first state is told
  Tell(following, owned);

  while (!StopRequested()) {
    rc = sd_bus_process(bus.get(), nullptr);
    if (rc < 0) {
      Complain("the connection to the system bus ended: " + BusError().Text(rc));
      return kExitFailed;
    }
    if (rc == 0) sd_bus_wait(bus.get(), kWaitMicros);
  }
  MarkStopped();
  return kExitOk;
}

}  // namespace px::cli
