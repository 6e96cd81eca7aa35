#pragma once

#include <string>
#include <string_view>

#include "common/sleep_inhibitor.h"

namespace px {

// Where logind takes inhibitor requests, on the system bus.
inline constexpr char kLogindService[] = "org.freedesktop.login1";
inline constexpr char kLogindPath[] = "/org/freedesktop/login1";
inline constexpr char kLogindManager[] = "org.freedesktop.login1.Manager";
inline constexpr char kLogindInhibit[] = "Inhibit";
// How long logind may take to answer before the work goes on without it.
inline constexpr int kLogindReplyMs = 5000;

// A "sleep:shutdown" block inhibitor from logind. logind hands out a file
// descriptor and holds sleep and shutdown off until every copy of it is
// closed, so a crash releases it as surely as Release does. The D-Bus call
// is made by a client of the bus, bus::SdBusLogindInhibitor (src/bus), which
// the window and pxraid share.
class LogindInhibitor : public SleepInhibitor {
 public:
  // `who` names the program in logind's list of inhibitors.
  LogindInhibitor(std::string who, Notice notice);
  ~LogindInhibitor() override;
  LogindInhibitor(const LogindInhibitor&) = delete;
  LogindInhibitor& operator=(const LogindInhibitor&) = delete;

  void Acquire(std::string_view why) final;
  void Release() final;

 protected:
  // The arguments of org.freedesktop.login1.Manager.Inhibit, in order.
  struct Request {
    std::string_view what;
    std::string_view who;
    std::string_view why;
    std::string_view mode;
  };
  // Either a descriptor that is the caller's own to close, or why there is
  // none (no system bus, no logind, refused).
  struct Reply {
    int fd = -1;
    std::string failure;
  };
  virtual Reply Inhibit(const Request& request) = 0;

 private:
  std::string who_;
  SleepNotHeldNotice notice_;
  int fd_ = -1;
};

}  // namespace px
