#include <systemd/sd-bus.h>

#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bus/managed_objects.h"
#include "bus/sd_bus_handles.h"
#include "bus/service_names.h"
#include "cli/status_client.h"

namespace px::cli {

using bus::Bus;
using bus::BusError;
using bus::kManagerInterface;
using bus::kServiceName;
using bus::kServiceRoot;
using bus::Message;
namespace {

// A service that holds its name but does not answer must not hold status up:
// a monitoring check that hangs is worse than one that reads the disks.
constexpr uint64_t kCallTimeoutMicros = 10 * 1000 * 1000;

void CannotAsk(const std::string& reason) {
  Complain("the service did not answer (" + reason + "); reading the enclosures directly");
}

}  // namespace

std::optional<int> StatusFromService(const StatusOptions& options) {
  sd_bus* raw = nullptr;
  // No system bus at all (a container, a rescue shell) is no service either.
  if (sd_bus_open_system(&raw) < 0) return std::nullopt;
  const Bus bus(raw);

  // An enclosure named by id, node or serial is chosen by the service
  // among its last poll's, as a run of its own would choose.
  const bool named = !options.enclosure.empty();
  // A service that is not running is read around, not started: the call
  // then fails at once as having no owner.
  Message call;
  int rc = NewServiceCall(bus.get(), kServiceRoot, kManagerInterface,
                          named ? "GetEnclosureStatus" : "GetStatus", call);
  const std::string format(StatusFormatName(options.format));
  if (rc >= 0 && named) {
    rc = sd_bus_message_append(call.get(), "ss", format.c_str(), options.enclosure.c_str());
  } else if (rc >= 0) {
    const int32_t drive =
        options.drive ? static_cast<int32_t>(options.drive->number()) : kEveryDrive;
    rc = sd_bus_message_append(call.get(), "si", format.c_str(), drive);
  }
  BusError error;
  sd_bus_message* rawReply = nullptr;
  if (rc >= 0) rc = sd_bus_call(bus.get(), call.get(), kCallTimeoutMicros, &error.error, &rawReply);
  const Message reply(rawReply);
  if (rc < 0) {
    if (!error.NoOwner()) CannotAsk(error.Text(rc));
    return std::nullopt;
  }

  const char* output = nullptr;
  int32_t exitCode = 0;
  std::vector<std::string> complaints;
  rc = sd_bus_message_read(reply.get(), "si", &output, &exitCode);
  if (rc >= 0) rc = sd_bus_message_enter_container(reply.get(), 'a', "s");
  const char* complaint = nullptr;
  while (rc >= 0 && (rc = sd_bus_message_read(reply.get(), "s", &complaint)) > 0) {
    complaints.emplace_back(complaint);
  }
  if (rc >= 0) rc = sd_bus_message_exit_container(reply.get());
  if (rc < 0) {
    CannotAsk("its answer could not be read: " + BusError().Text(rc));
    return std::nullopt;
  }
  if (exitCode < kExitOk || exitCode > kExitUnknown) {
    CannotAsk("it gave the exit status " + std::to_string(exitCode));
    return std::nullopt;
  }
  for (const std::string& text : complaints) Complain(text);
  std::cout << output << std::flush;
  return exitCode;
}

}  // namespace px::cli
