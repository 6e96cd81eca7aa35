#pragma once

#include <QPushButton>
#include <QRect>
#include <QString>
#include <string_view>

namespace px::app {

// The core speaks UTF-8 std::string; the widgets QString.
inline QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A dialog button with its design name and place. Not a default button: Enter
// belongs to the dialog's edit box, and a default button would act a second
// time.
inline QPushButton* MakeDialogButton(QWidget* parent, const char* name, const QString& text,
                                     QRect geometry) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setGeometry(geometry);
  button->setAutoDefault(false);
  return button;
}

}  // namespace px::app
