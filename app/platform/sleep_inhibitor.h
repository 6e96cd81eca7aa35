#pragma once

#include <memory>
#include <string>

#include "common/sleep_inhibitor.h"

#ifdef __linux__
#include <QDBusConnection>

#include "common/linux/logind_inhibitor.h"
#endif

namespace px::app {

// What the window's upgrade holds to keep the machine awake: logind on the
// system bus through Qt D-Bus on Linux, the execution state on Windows.
// `notice` tells the user, once, when sleep cannot be held off.
std::unique_ptr<px::SleepInhibitor> CreateSleepInhibitor(px::Notice notice);

#ifdef __linux__
// logind on `bus`, asked on the calling thread. The call blocks for as long
// as logind takes (a few milliseconds; kLogindReplyMs at most): no events run
// meanwhile, so nothing can reach the device in between.
class QtLogindInhibitor final : public px::LogindInhibitor {
 public:
  QtLogindInhibitor(QDBusConnection bus, std::string who, px::Notice notice);

 protected:
  Reply Inhibit(const Request& request) override;

 private:
  QDBusConnection bus_;
};
#endif

}  // namespace px::app
