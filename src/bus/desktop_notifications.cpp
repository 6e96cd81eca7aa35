#include "bus/desktop_notifications.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "bus/sd_bus_handles.h"

namespace px::bus {

namespace {

constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";

struct UnrefSlot {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using Slot = std::unique_ptr<sd_bus_slot, UnrefSlot>;

struct Pending {
  bool answered = false;
  NotifyOutcome outcome;
};

std::string Failure(const char* what, int rc) {
  return std::string(what) + ": " + std::strerror(rc < 0 ? -rc : rc);
}

int OnReply(sd_bus_message* reply, void* userdata, sd_bus_error* /*unused*/) {
  Pending& pending = *static_cast<Pending*>(userdata);
  pending.answered = true;
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    // Activation off, or nothing to activate: the desktop has no service.
    pending.outcome.absent = sd_bus_error_has_names(error, SD_BUS_ERROR_SERVICE_UNKNOWN,
                                                    SD_BUS_ERROR_NAME_HAS_NO_OWNER) != 0;
    pending.outcome.error = error->message != nullptr && *error->message != '\0' ? error->message
                            : error->name != nullptr                             ? error->name
                                                                                 : "refused";
    return 0;
  }
  uint32_t id = 0;
  if (const int rc = sd_bus_message_read(reply, "u", &id); rc < 0) {
    pending.outcome.error = Failure("an answer that is no notification id", rc);
    return 0;
  }
  pending.outcome.shown = true;
  pending.outcome.id = id;
  return 0;
}

// Notify(s app_name, u replaces_id, s app_icon, s summary, s body,
// as actions, a{sv} hints, i expire_timeout). Strings must be UTF-8, which
// sd-bus checks: a text that is not fails here rather than on the server.
int BuildNotify(sd_bus* bus, const DesktopNotice& notice, Message& call) {
  sd_bus_message* raw = nullptr;
  int rc = sd_bus_message_new_method_call(bus, &raw, kService, kPath, kService, "Notify");
  call.reset(raw);
  if (rc >= 0) {
    rc = sd_bus_message_append(raw, "susssas", notice.appName.c_str(), 0u, notice.icon.c_str(),
                               notice.summary.c_str(), notice.body.c_str(), 0);
  }
  if (rc >= 0) rc = sd_bus_message_open_container(raw, 'a', "{sv}");
  if (rc >= 0) {
    rc = sd_bus_message_append(raw, "{sv}", "urgency", "y", static_cast<uint8_t>(notice.urgency));
  }
  if (rc >= 0 && !notice.desktopEntry.empty()) {
    rc = sd_bus_message_append(raw, "{sv}", "desktop-entry", "s", notice.desktopEntry.c_str());
  }
  if (rc >= 0) rc = sd_bus_message_close_container(raw);
  if (rc >= 0) rc = sd_bus_message_append(raw, "i", notice.expireMs);
  return rc;
}

}  // namespace

NotifyOutcome NotifyDesktop(const DesktopNotice& notice, const std::string& address,
                            std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + timeout;
  NotifyOutcome failed;
  // A connection for each notification: they are rare, connecting to the
  // local bus takes a millisecond, and none is left open to go stale when
  // the session's bus or its notification service restarts.
  Bus bus;
  int rc = 0;
  if (address.empty()) {
    sd_bus* raw = nullptr;
    rc = sd_bus_open_user(&raw);
    bus.reset(raw);
  } else {
    rc = Connect(address, bus);
  }
  if (rc < 0) {
    failed.absent = true;
    failed.error = Failure("no session bus", rc);
    return failed;
  }
  Message call;
  rc = BuildNotify(bus.get(), notice, call);
  if (rc < 0) {
    failed.error = Failure("cannot put the notification into a message", rc);
    return failed;
  }
  // Sent without waiting and then waited for here, rather than with
  // sd_bus_call, so that the limit covers the connection's handshake as well
  // as the call: sd-bus would wait far longer for a bus that does not
  // answer.
  Pending pending;
  sd_bus_slot* rawSlot = nullptr;
  rc = sd_bus_call_async(
      bus.get(), &rawSlot, call.get(), &OnReply, &pending,
      static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::microseconds>(timeout).count()));
  // Let go of before the bus, so that no answer comes to `pending` later.
  const Slot slot(rawSlot);
  if (rc < 0) {
    failed.error = Failure("cannot send the notification", rc);
    return failed;
  }
  while (!pending.answered) {
    rc = sd_bus_process(bus.get(), nullptr);
    if (rc < 0) {
      failed.error = Failure("the session bus", rc);
      return failed;
    }
    if (rc > 0) continue;
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      failed.error = "the notification service did not answer in time";
      return failed;
    }
    rc = sd_bus_wait(bus.get(), static_cast<uint64_t>(left.count()));
    if (rc < 0 && rc != -EINTR) {
      failed.error = Failure("the session bus", rc);
      return failed;
    }
  }
  return pending.outcome;
}

}  // namespace px::bus
