// The desktop's notification service through sd-bus, where the build has
// it.

#include <cstdio>

#include "app/tray_icon.h"
#include "bus/desktop_notifications.h"

namespace px::app {

namespace {

px::bus::DesktopNotice NoticeOf(const DesktopNotification& notification) {
  px::bus::DesktopNotice notice;
  // What the desktop's menus call the program (pxgui.desktop), and the icons
  // Qt's balloons carry for the two severities.
  notice.appName = "PX RAID Utility";
  notice.desktopEntry = "pxgui";
  notice.summary = notification.title.toStdString();
  notice.body = notification.body.toStdString();
  switch (notification.severity) {
    case px::Severity::Critical:
      notice.urgency = px::bus::Urgency::Critical;
      notice.icon = "dialog-error";
      break;
    case px::Severity::Warning:
      notice.urgency = px::bus::Urgency::Normal;
      notice.icon = "dialog-warning";
      break;
    case px::Severity::Info:
      notice.urgency = px::bus::Urgency::Low;
      notice.icon = "dialog-information";
      break;
  }
  notice.expireMs = kNotificationMs;
  return notice;
}

}  // namespace

NotificationService DesktopNotificationService(const std::string& address) {
  // The call waits on the window's thread, bounded (px::bus::kNotifyTimeout),
  // and only when something is to be notified: a member failing, a disk
  // inserted, an enclosure gone, which is seldom. A service that is there
  // answers in a millisecond and a bus without one says so at once, so only
  // a service that hangs costs the window its bound. Sending it without
  // waiting would need the bus's descriptor in Qt's event loop, or a thread
  // that hands a failure back for the balloon, for nothing the user would
  // see in the usual case.
  return [address](const DesktopNotification& notification) {
    const px::bus::NotifyOutcome outcome = px::bus::NotifyDesktop(NoticeOf(notification), address);
    // A desktop without the service is one the balloons are for; a service
    // that fails is worth a line where a program without a window says it.
    if (!outcome.shown && !outcome.absent) {
      std::fprintf(stderr, "pxgui: desktop notification: %s; shown in the tray instead\n",
                   outcome.error.c_str());
    }
    return outcome.shown;
  };
}

}  // namespace px::app
