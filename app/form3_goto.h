#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <cstdint>

#include "common/goto_sector.h"

namespace px::app {

// The "GoTo" dialog: a unit and a number, turned into a sector once the
// dialog has closed. Each opening is a fresh dialog with "Byte" selected and
// an empty number.
class TForm3 final : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kClientWidth = 305;
  static constexpr int kClientHeight = 131;

  explicit TForm3(QWidget* parent = nullptr);

  // The status bar's double-click: shows a new dialog modally and, when the
  // user confirmed a number, sets gotoSector. Ignoring the double-click while
  // a firmware operation runs is the caller's part.
  static void Run(QWidget* parent, uint32_t& gotoSector);

  const px::GotoRequest& Request() const { return request_; }

  QRadioButton* RadioButton1 = nullptr;  // Byte
  QRadioButton* RadioButton2 = nullptr;  // Word
  QRadioButton* RadioButton3 = nullptr;  // Sector
  QLineEdit* Edit1 = nullptr;
  QPushButton* Button1 = nullptr;  // OK
  QPushButton* Button2 = nullptr;  // CANCEL

 public slots:
  void Button1Click();
  void Button2Click();

 private:
  px::GotoRequest request_;
};

}  // namespace px::app
