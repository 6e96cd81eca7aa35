#include "service/polkit.h"

#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <utility>

namespace px::service {
namespace {

constexpr char kPolkitName[] = "org.freedesktop.PolicyKit1";
constexpr char kAuthorityPath[] = "/org/freedesktop/PolicyKit1/Authority";
constexpr char kAuthorityInterface[] = "org.freedesktop.PolicyKit1.Authority";
constexpr uint32_t kAllowUserInteraction = 1;
// A user at a password prompt may take their time; without one polkit
// answers at once.
constexpr uint64_t kInteractiveTimeoutUs = 5ULL * 60 * 1000 * 1000;
constexpr uint64_t kTimeoutUs = 25ULL * 1000 * 1000;

struct Pending {
  sd_bus_message* call = nullptr;
  std::function<void(sd_bus_message*, const Verdict&)> decided;
  bool root = false;
  WaitingCalls* waiting = nullptr;
  std::string caller;
  ~Pending() {
    sd_bus_message_unref(call);
    if (waiting != nullptr) waiting->Release(caller);
  }
};

bool CallerIsRoot(sd_bus_message* call) {
  sd_bus_creds* creds = nullptr;
  uid_t uid = 1;
  if (sd_bus_query_sender_creds(call, SD_BUS_CREDS_EUID, &creds) >= 0) {
    if (sd_bus_creds_get_euid(creds, &uid) < 0) uid = 1;
  }
  sd_bus_creds_unref(creds);
  return uid == 0;
}

Verdict Read(sd_bus_message* reply, bool root) {
  if (const sd_bus_error* error = sd_bus_message_get_error(reply); error != nullptr) {
    const bool absent = sd_bus_error_has_name(error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                        sd_bus_error_has_name(error, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
    if (absent && root) return {true, {}};
    if (absent) return {false, "polkit is not running, and only root may do this without it"};
    return {false, std::string("polkit could not decide: ") +
                       (error->message != nullptr ? error->message : error->name)};
  }
  int authorized = 0;
  int challenge = 0;
  if (sd_bus_message_enter_container(reply, 'r', "bba{ss}") < 0 ||
      sd_bus_message_read(reply, "bb", &authorized, &challenge) < 0) {
    return {false, "polkit's answer could not be read"};
  }
  if (authorized != 0) return {true, {}};
  return {false, challenge != 0 ? "authentication is required, and none was given"
                                : "polkit does not allow it"};
}

int OnReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  const auto* pending = static_cast<Pending*>(userdata);
  pending->decided(pending->call, Read(reply, pending->root));
  return 1;
}

}  // namespace

bool WaitingCalls::Admit(const std::string& caller) {
  const auto known = waiting_.find(caller);
  if (known == waiting_.end()) {
    if (waiting_.size() >= kCallers) return false;
    waiting_.emplace(caller, 1);
    return true;
  }
  if (known->second >= kPerCaller) return false;
  ++known->second;
  return true;
}

void WaitingCalls::Release(const std::string& caller) {
  const auto known = waiting_.find(caller);
  if (known == waiting_.end()) return;
  if (--known->second == 0) waiting_.erase(known);
}

int AskPolkit(sd_bus* bus, sd_bus_message* call, const char* action, WaitingCalls& waiting,
              std::function<void(sd_bus_message* call, const Verdict&)> decided,
              sd_bus_error* error) {
  const char* sender = sd_bus_message_get_sender(call);
  if (sender == nullptr) return -EINVAL;
  if (!waiting.Admit(sender)) {
    return sd_bus_error_set(error, kErrorTooMany,
                            "too many calls are waiting for polkit's answer; try again later");
  }
  // From here on the pending call, whatever becomes of it, lets go of its
  // place.
  auto pending = std::make_unique<Pending>();
  pending->waiting = &waiting;
  pending->caller = sender;
  const bool interactive = sd_bus_message_get_allow_interactive_authorization(call) > 0;

  sd_bus_message* question = nullptr;
  int rc = sd_bus_message_new_method_call(bus, &question, kPolkitName, kAuthorityPath,
                                          kAuthorityInterface, "CheckAuthorization");
  if (rc >= 0) {
    rc = sd_bus_message_append(question, "(sa{sv})s", "system-bus-name", 1, "name", "s", sender,
                               action);
  }
  if (rc >= 0)
    rc =
        sd_bus_message_append(question, "a{ss}us", 0, interactive ? kAllowUserInteraction : 0U, "");
  pending->call = sd_bus_message_ref(call);
  pending->decided = std::move(decided);
  pending->root = CallerIsRoot(call);
  sd_bus_slot* slot = nullptr;
  if (rc >= 0) {
    rc = sd_bus_call_async(bus, &slot, question, &OnReply, pending.get(),
                           interactive ? kInteractiveTimeoutUs : kTimeoutUs);
  }
  sd_bus_message_unref(question);
  if (rc < 0) return rc;
  // The slot lives until the answer came (or the bus went), and takes the
  // pending call with it.
  sd_bus_slot_set_destroy_callback(slot,
                                   [](void* userdata) { delete static_cast<Pending*>(userdata); });
  sd_bus_slot_set_floating(slot, 1);
  sd_bus_slot_unref(slot);
  pending.release();
  return 0;
}

}  // namespace px::service
