#include "bus/service_polls.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string_view>

#include "bus/managed_objects.h"
#include "bus/service_names.h"

namespace px::bus {
namespace {

// The window waits for this at most, on its own thread, before a poll counts
// as unanswered: the service answers from memory in milliseconds.
constexpr uint64_t kAnswerMicros = 2ULL * 1000 * 1000;

// An object's enclosure, with the number the service shows it under, which
// orders them.
struct Served {
  uint32_t device = 0;
  PolledEnclosure enclosure;
  int records = 0;  // how many of the two records were whole
};

int ReadRecord(sd_bus_message* reply, Record& record, int& whole) {
  const void* data = nullptr;
  std::size_t size = 0;
  int rc = sd_bus_message_enter_container(reply, 'v', "ay");
  if (rc >= 0) rc = sd_bus_message_read_array(reply, 'y', &data, &size);
  if (rc >= 0 && size == record.size()) {
    std::memcpy(record.data(), data, size);
    ++whole;
  }
  return rc < 0 ? rc : sd_bus_message_exit_container(reply);
}

int ReadProperty(std::string_view name, sd_bus_message* reply, Served& served) {
  if (name == "Device") return sd_bus_message_read(reply, "v", "u", &served.device);
  if (name == "Drive") {
    uint32_t drive = 0;
    const int rc = sd_bus_message_read(reply, "v", "u", &drive);
    served.enclosure.drive = PhysicalDrive(drive);
    return rc;
  }
  if (name == "StatusRead") {
    int read = 0;
    const int rc = sd_bus_message_read(reply, "v", "b", &read);
    served.enclosure.answered = read != 0;
    return rc;
  }
  if (name == "StatusRecord") return ReadRecord(reply, served.enclosure.status, served.records);
  if (name == "ConfigRecord") return ReadRecord(reply, served.enclosure.config, served.records);
  return sd_bus_message_skip(reply, "v");
}

}  // namespace

std::optional<std::vector<PolledEnclosure>> ServicePolls::Enclosures() {
  std::lock_guard lock(mutex_);
  if (!bus_ && Connect(address_, bus_) < 0) {
    bus_.reset();
    return std::nullopt;
  }
  BusError error;
  Message reply;
  int rc = ListServiceObjects(bus_.get(), kAnswerMicros, error, reply);
  if (rc < 0) {
    // A connection that failed may be a bus that went: the next poll makes
    // a new one.
    bus_.reset();
    return std::nullopt;
  }
  std::map<std::string, Served, std::less<>> objects;
  rc = ReadManagedObjects(
      reply.get(), kEnclosureInterface,
      [&objects](std::string_view path, std::string_view name, sd_bus_message* message) {
        return ReadProperty(name, message, objects[std::string(path)]);
      },
      [](std::string_view) {});
  if (rc < 0) return std::nullopt;
  std::vector<Served> served;
  for (auto& [path, object] : objects) {
    // An object without both records is of a service that does not publish
    // them; nothing could be shown of it.
    if (object.records == 2) served.push_back(object);
  }
  std::sort(served.begin(), served.end(),
            [](const Served& a, const Served& b) { return a.device < b.device; });
  std::vector<PolledEnclosure> enclosures;
  for (const Served& each : served) enclosures.push_back(each.enclosure);
  return enclosures;
}

bool ServiceRuns(const std::string& address) {
  return NameHasOwner(address, kServiceName);
}

}  // namespace px::bus
