#include "bus/managed_objects.h"

#include "bus/service_names.h"

namespace px::bus {

int NewServiceCall(sd_bus* bus, const char* path, const char* interface, const char* member,
                   Message& call) {
  sd_bus_message* rawCall = nullptr;
  int rc = sd_bus_message_new_method_call(bus, &rawCall, kServiceName, path, interface, member);
  call.reset(rawCall);
  if (rc >= 0) rc = sd_bus_message_set_auto_start(call.get(), 0);
  return rc;
}

int ListServiceObjects(sd_bus* bus, uint64_t timeoutMicros, BusError& error, Message& reply) {
  Message call;
  int rc = NewServiceCall(bus, kServiceRoot, "org.freedesktop.DBus.ObjectManager",
                          "GetManagedObjects", call);
  sd_bus_message* rawReply = nullptr;
  if (rc >= 0) rc = sd_bus_call(bus, call.get(), timeoutMicros, &error.error, &rawReply);
  reply.reset(rawReply);
  return rc;
}

int ReadManagedObjects(sd_bus_message* reply, std::string_view interface,
                       const PropertyReader& read, const ObjectDone& done) {
  int rc = sd_bus_message_enter_container(reply, 'a', "{oa{sa{sv}}}");
  while (rc >= 0 && (rc = sd_bus_message_enter_container(reply, 'e', "oa{sa{sv}}")) > 0) {
    const char* path = nullptr;
    rc = sd_bus_message_read(reply, "o", &path);
    bool wantedObject = false;
    if (rc >= 0) rc = sd_bus_message_enter_container(reply, 'a', "{sa{sv}}");
    while (rc >= 0 && (rc = sd_bus_message_enter_container(reply, 'e', "sa{sv}")) > 0) {
      const char* name = nullptr;
      rc = sd_bus_message_read(reply, "s", &name);
      const bool wanted = rc >= 0 && std::string_view(name) == interface;
      wantedObject = wantedObject || wanted;
      if (rc >= 0) rc = sd_bus_message_enter_container(reply, 'a', "{sv}");
      while (rc >= 0 && (rc = sd_bus_message_enter_container(reply, 'e', "sv")) > 0) {
        const char* property = nullptr;
        rc = sd_bus_message_read(reply, "s", &property);
        if (rc >= 0) rc = wanted ? read(path, property, reply) : sd_bus_message_skip(reply, "v");
        if (rc >= 0) rc = sd_bus_message_exit_container(reply);
      }
      if (rc >= 0) rc = sd_bus_message_exit_container(reply);
      if (rc >= 0) rc = sd_bus_message_exit_container(reply);
    }
    if (rc >= 0) rc = sd_bus_message_exit_container(reply);
    if (rc >= 0) rc = sd_bus_message_exit_container(reply);
    if (rc >= 0 && wantedObject) done(path);
  }
  return rc < 0 ? rc : sd_bus_message_exit_container(reply);
}

}  // namespace px::bus
