#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <string>

// polkit's word on what a caller of pxraidd may do, asked as any service
// asks it: CheckAuthorization for the caller's bus name, without waiting on
// the bus thread, so that one user typing their password holds up nobody.

namespace px::service {

// The actions of the policy file the package installs.
inline constexpr char kActionReadLog[] = "org.pxraid.PxRaid1.read-log";
inline constexpr char kActionUpgrade[] = "org.pxraid.PxRaid1.firmware-upgrade";
inline constexpr char kActionRestore[] = "org.pxraid.PxRaid1.firmware-restore";
inline constexpr char kActionBackup[] = "org.pxraid.PxRaid1.firmware-backup";

// Refusals as clients meet them.
inline constexpr char kErrorNotAuthorized[] = "org.pxraid.PxRaid1.Error.NotAuthorized";

struct Verdict {
  bool allowed = false;
  // Why not, for people: "authentication is required", "polkit is not
  // running", ...
  std::string why;
};

// Asks whether the sender of `call` may do `action`, and calls `decided`
// with the answer on the bus thread, with `call` still referenced. An
// interactive authentication is allowed when the caller allowed it. Root
// needs nobody's leave: without polkit on the bus, root is allowed and
// everyone else refused. Returns a negative errno when the question could
// not be sent (and `decided` is then not called).
int AskPolkit(sd_bus* bus, sd_bus_message* call, const char* action,
              std::function<void(sd_bus_message* call, const Verdict&)> decided);

}  // namespace px::service
