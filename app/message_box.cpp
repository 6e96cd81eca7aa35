#include "app/message_box.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QThread>

#include "app/gui_thread.h"
#include "app/qt_text.h"

namespace px::app {

namespace {

QMessageBox::Icon ToQt(px::MessageIcon icon) {
  switch (icon) {
    case px::MessageIcon::Error:
      return QMessageBox::Critical;
    case px::MessageIcon::Exclamation:
      return QMessageBox::Warning;
    case px::MessageIcon::Information:
      return QMessageBox::Information;
    case px::MessageIcon::None:
      break;
  }
  return QMessageBox::NoIcon;
}

void ShowModal(QWidget* parent, const QString& title, const QString& text, QMessageBox::Icon icon) {
  // A box without a title takes the application's name, as the system's
  // default caption would.
  QMessageBox box(icon, title.isEmpty() ? QCoreApplication::applicationName() : title, text,
                  QMessageBox::Ok, parent);
  box.exec();
}

}  // namespace

void WindowMessages::Show(std::string_view title, std::string_view text, px::MessageIcon icon) {
  const QString qtitle = Q(title);
  const QString qtext = Q(text);
  const QMessageBox::Icon qicon = ToQt(icon);
  QWidget* parent = parent_.data();
  QObject* context = parent != nullptr ? static_cast<QObject*>(parent) : qApp;
  if (context == nullptr) return;
  RunOnGuiThread(context,
                 [parent, qtitle, qtext, qicon] { ShowModal(parent, qtitle, qtext, qicon); });
}

bool WindowMessages::Ask(std::string_view title, std::string_view text) {
  QWidget* parent = parent_.data();
  if (qApp == nullptr || QThread::currentThread() != qApp->thread()) return false;
  QMessageBox box(QMessageBox::Question, Q(title), Q(text), QMessageBox::Yes | QMessageBox::No,
                  parent);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace px::app
