#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "raid/tray_model.h"

class QWidget;

namespace px::app {

// A notification as the desktop is handed it.
struct DesktopNotification {
  px::Severity severity = px::Severity::Warning;
  QString title;
  QString body;
};

// Desktop notification servers read markup in the body, and a disk's model
// is the disk's to choose: the body is escaped where markup is read, so that
// it shows as the text it is.
DesktopNotification ForDesktop(const px::Notification& notification);

// Where the tray's look and its notifications go: the desktop's tray, or a
// test's recorder.
class TrayNotifier {
 public:
  virtual ~TrayNotifier() = default;
  virtual void Show(const px::TrayLook& look) = 0;
  virtual void Notify(const DesktopNotification& notification) = 0;
};

// How long a notification stays up, as a balloon or through the service.
inline constexpr int kNotificationMs = 10000;

// The desktop's notification service; true when it took the notification.
using NotificationService = std::function<bool(const DesktopNotification& notification)>;

// org.freedesktop.Notifications on the session bus, or on the bus at
// `address` (a test's own); empty where the build has no client of a
// message bus.
NotificationService DesktopNotificationService(const std::string& address = {});

// `tray`, with its notifications handed to `service` first: they become the
// tray's balloons only where there is no service or it fails.
std::unique_ptr<TrayNotifier> PreferringService(NotificationService service,
                                                std::unique_ptr<TrayNotifier> tray);

// Makes the tray the window shows the enclosures' health in; null while the
// desktop has none, and the window then goes on as it would without it.
using MakeTray = std::function<std::unique_ptr<TrayNotifier>(QWidget& window)>;

// The desktop's own tray, where there is one; clicking the icon brings the
// window forward. Its notifications go to the desktop's notification service
// first.
std::unique_ptr<TrayNotifier> MakeSystemTray(QWidget& window);

}  // namespace px::app
