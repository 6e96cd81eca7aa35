#include "common/linux/logind_inhibitor.h"

#include <unistd.h>

#include <utility>

namespace px {

LogindInhibitor::LogindInhibitor(std::string who, Notice notice)
    : who_(std::move(who)), notice_(std::move(notice)) {}

LogindInhibitor::~LogindInhibitor() {
  if (fd_ >= 0) ::close(fd_);
}

void LogindInhibitor::Acquire(std::string_view why) {
  if (fd_ >= 0) return;
  // Shutdown too: the machine switched off mid-write is the same brick as
  // one put to sleep.
  Reply reply = Inhibit({"sleep:shutdown", who_, why, "block"});
  if (reply.fd >= 0) {
    fd_ = reply.fd;
    return;
  }
  notice_.Tell(why, reply.failure);
}

void LogindInhibitor::Release() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

}  // namespace px
