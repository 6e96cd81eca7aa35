#pragma once

#include <systemd/sd-bus.h>

#include <cstddef>
#include <functional>
#include <map>
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
inline constexpr char kErrorTooMany[] = "org.pxraid.PxRaid1.Error.TooManyCalls";

// The calls that wait for polkit's word, by caller. Each holds its message
// until polkit answers, which for a user at a password prompt is minutes, so
// a client that floods the service, or many clients at once, would grow the
// service without bound: a caller may have a few waiting, and only so many
// callers may wait at once.
class WaitingCalls {
 public:
  static constexpr std::size_t kPerCaller = 4;
  static constexpr std::size_t kCallers = 32;

  // One more call of `caller` waits; false when that is one too many.
  bool Admit(const std::string& caller);
  // One of `caller`'s calls has its answer.
  void Release(const std::string& caller);

 private:
  std::map<std::string, std::size_t> waiting_;
};

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
// everyone else refused. A call beyond what `waiting` admits is refused
// with kErrorTooMany in `error`. Returns a negative errno when the question
// was refused or could not be sent (and `decided` is then not called).
int AskPolkit(sd_bus* bus, sd_bus_message* call, const char* action, WaitingCalls& waiting,
              std::function<void(sd_bus_message* call, const Verdict&)> decided,
              sd_bus_error* error);

}  // namespace px::service
