#include "bus/service_log.h"

#include "bus/managed_objects.h"
#include "bus/service_names.h"

namespace px::bus {
namespace {

// The viewer asks once a second: an answer later than that is of no use, as
// the next tick asks again, and the window's thread waits for no more. The
// service answers from a file of one day's lines.
constexpr uint64_t kAnswerMicros = 1000ULL * 1000;

int ReadLines(sd_bus_message* reply, std::vector<std::string>& lines) {
  // The file read is the service's path, which the viewer does not show.
  int rc = sd_bus_message_skip(reply, "s");
  if (rc >= 0) rc = sd_bus_message_enter_container(reply, 'a', "s");
  const char* line = nullptr;
  while (rc >= 0 && (rc = sd_bus_message_read(reply, "s", &line)) > 0) lines.emplace_back(line);
  return rc < 0 ? rc : sd_bus_message_exit_container(reply);
}

}  // namespace

std::optional<std::vector<std::string>> ServiceLog::DayLines() {
  if (!bus_ && Connect(address_, bus_) < 0) {
    bus_.reset();
    return std::nullopt;
  }
  Message call;
  int rc = NewServiceCall(bus_.get(), kServiceRoot, kManagerInterface, "GetLog", call);
  // Empty: the day of the service's last poll, which is the day it logs.
  if (rc >= 0) rc = sd_bus_message_append(call.get(), "s", "");
  BusError error;
  sd_bus_message* rawReply = nullptr;
  if (rc >= 0) rc = sd_bus_call(bus_.get(), call.get(), kAnswerMicros, &error.error, &rawReply);
  const Message reply(rawReply);
  std::vector<std::string> lines;
  if (rc >= 0) rc = ReadLines(reply.get(), lines);
  if (rc >= 0) return lines;
  // A connection that closed may be a bus that went: the next call makes a
  // new one. A refusal (no log of the day, not authorized) came over a good
  // one.
  if (sd_bus_is_open(bus_.get()) <= 0) bus_.reset();
  return std::nullopt;
}

}  // namespace px::bus
