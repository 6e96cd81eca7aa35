#pragma once

#include <QString>
#include <functional>
#include <memory>

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

// Makes the tray the window shows the enclosures' health in; null while the
// desktop has none, and the window then goes on as it would without it.
using MakeTray = std::function<std::unique_ptr<TrayNotifier>(QWidget& window)>;

// The desktop's own tray, where there is one; clicking the icon brings the
// window forward.
std::unique_ptr<TrayNotifier> MakeSystemTray(QWidget& window);

}  // namespace px::app
