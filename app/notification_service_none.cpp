// A build without a client of a message bus (Windows, or Linux without
// libsystemd): the tray's balloons are all there is.

#include "app/tray_icon.h"

namespace px::app {

NotificationService DesktopNotificationService(const std::string& /*address*/) {
  return {};
}

}  // namespace px::app
