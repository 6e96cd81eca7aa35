#include "app/tray_icon.h"

#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QWidget>
#include <array>
#include <utility>

#include "app/qt_text.h"

namespace px::app {

namespace {

constexpr int kIconSize = 64;

QColor BadgeColour(px::Health health) {
  switch (health) {
    case px::Health::Ok:
      return QColor(0x2E, 0x9D, 0x4A);
    case px::Health::Warning:
      return QColor(0xF0, 0xA3, 0x0A);
    case px::Health::Critical:
      return QColor(0xD3, 0x2F, 0x2F);
    case px::Health::Unknown:
      break;
  }
  return QColor(0x7B, 0x87, 0x94);
}

// The mark inside the badge, in a 20 x 20 box centred on the origin: a tick,
// an exclamation mark, a cross or a question mark. Drawn, not written, so
// that it looks the same whatever fonts the desktop has.
QPainterPath BadgeMark(px::Health health) {
  QPainterPath mark;
  switch (health) {
    case px::Health::Ok:
      mark.moveTo(-8, 0);
      mark.lineTo(-3, 6);
      mark.lineTo(8, -6);
      break;
    case px::Health::Warning:
      mark.moveTo(0, -9);
      mark.lineTo(0, 3);
      mark.moveTo(0, 8.5);
      mark.lineTo(0, 9);
      break;
    case px::Health::Critical:
      mark.moveTo(-7, -7);
      mark.lineTo(7, 7);
      mark.moveTo(7, -7);
      mark.lineTo(-7, 7);
      break;
    case px::Health::Unknown:
      mark.moveTo(-6, -4);
      mark.arcTo(-6, -10, 12, 12, 180, -270);
      mark.lineTo(0, 3);
      mark.moveTo(0, 8.5);
      mark.lineTo(0, 9);
      break;
  }
  return mark;
}

// The program's icon with a badge of the health's colour in its lower right
// quarter, large enough to tell apart at a tray's 22 pixels.
QIcon HealthIcon(px::Health health) {
  QPixmap pixmap(kIconSize, kIconSize);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QIcon(QStringLiteral(":/Z1")).paint(&painter, pixmap.rect());
  const QPointF centre(45, 45);
  painter.setPen(QPen(Qt::white, 3));
  painter.setBrush(BadgeColour(health));
  painter.drawEllipse(centre, 17, 17);
  painter.translate(centre);
  painter.setPen(QPen(Qt::white, 4.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(Qt::NoBrush);
  painter.drawPath(BadgeMark(health));
  painter.end();
  return QIcon(pixmap);
}

class SystemTray final : public TrayNotifier {
 public:
  explicit SystemTray(QWidget& window) : icon_(new QSystemTrayIcon(&window)) {
    QObject::connect(icon_, &QSystemTrayIcon::activated, &window,
                     [target = QPointer<QWidget>(&window)](QSystemTrayIcon::ActivationReason why) {
                       if (!target || why != QSystemTrayIcon::Trigger) return;
                       target->showNormal();
                       target->raise();
                       target->activateWindow();
                     });
  }

  void Show(const px::TrayLook& look) override {
    if (!icon_) return;
    QIcon& icon = icons_[static_cast<std::size_t>(look.health)];
    if (icon.isNull()) icon = HealthIcon(look.health);
    icon_->setIcon(icon);
    icon_->setToolTip(Q(look.toolTip));
    icon_->show();
  }

  void Notify(const DesktopNotification& notification) override {
    if (!icon_) return;
    const QSystemTrayIcon::MessageIcon kind = notification.severity == px::Severity::Critical
                                                  ? QSystemTrayIcon::Critical
                                                  : QSystemTrayIcon::Warning;
    icon_->showMessage(notification.title, notification.body, kind, kNotificationMs);
  }

 private:
  // Owned by the window, so that it goes when the window does.
  QPointer<QSystemTrayIcon> icon_;
  std::array<QIcon, 4> icons_;
};

class ServiceFirst final : public TrayNotifier {
 public:
  ServiceFirst(NotificationService service, std::unique_ptr<TrayNotifier> tray)
      : service_(std::move(service)), tray_(std::move(tray)) {}

  void Show(const px::TrayLook& look) override { tray_->Show(look); }

  void Notify(const DesktopNotification& notification) override {
    if (service_ && service_(notification)) return;
    tray_->Notify(notification);
  }

 private:
  NotificationService service_;
  std::unique_ptr<TrayNotifier> tray_;
};

}  // namespace

std::unique_ptr<TrayNotifier> PreferringService(NotificationService service,
                                                std::unique_ptr<TrayNotifier> tray) {
  return std::make_unique<ServiceFirst>(std::move(service), std::move(tray));
}

DesktopNotification ForDesktop(const px::Notification& notification) {
  DesktopNotification desktop{notification.severity, Q(notification.title), Q(notification.text)};
#ifndef _WIN32
  // The body goes to the freedesktop notification server as it is, from the
  // window or from Qt's balloon. The title is the program's own words, and
  // the summary is plain text there.
  desktop.body = desktop.body.toHtmlEscaped();
#endif
  return desktop;
}

std::unique_ptr<TrayNotifier> MakeSystemTray(QWidget& window) {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return nullptr;
  return PreferringService(DesktopNotificationService(), std::make_unique<SystemTray>(window));
}

}  // namespace px::app
