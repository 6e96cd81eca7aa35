#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace px::test {

// A message bus of the test's own: dbus-daemon with the session
// configuration, started with the object and stopped with it.
class PrivateBus {
 public:
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Empty when no daemon could be started; failure() then says why.
  const std::string& address() const { return address_; }
  const std::string& failure() const { return failure_; }

 private:
  pid_t pid_ = -1;
  std::string address_;
  std::string failure_;
};

// logind as far as an inhibitor request goes: owns org.freedesktop.login1 on
// a bus and answers Manager.Inhibit from a thread of its own. Like logind it
// hands out one end of a pipe, and the other end tells when the caller has
// let go of every copy.
class LogindStandIn {
 public:
  enum class Answer { Grant, Refuse };
  struct Call {
    std::string what;
    std::string who;
    std::string why;
    std::string mode;
    friend bool operator==(const Call&, const Call&) = default;
  };

  LogindStandIn(const std::string& address, Answer answer);
  ~LogindStandIn();
  LogindStandIn(const LogindStandIn&) = delete;
  LogindStandIn& operator=(const LogindStandIn&) = delete;

  // Empty once it serves.
  const std::string& failure() const { return failure_; }
  std::vector<Call> Calls() const;
  // Descriptors handed out that the caller still holds.
  int Held() const;
  // Waits until the caller has let go of every descriptor; false when it
  // still holds one after a limit that only keeps a leak from hanging the
  // test.
  bool AllReleased() const;

 private:
  static int OnInhibit(sd_bus_message* message, void* self, sd_bus_error* error);
  void Serve();

  Answer answer_;
  sd_bus* bus_ = nullptr;
  std::string failure_;
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  std::vector<int> ends_;  // our end of each pipe handed out
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace px::test
