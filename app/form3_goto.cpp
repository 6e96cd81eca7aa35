#include "app/form3_goto.h"

#include "app/message_box.h"
#include "app/qt_text.h"
#include "common/number_text.h"

namespace px::app {

TForm3::TForm3(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("Form3"));
  setWindowTitle(QStringLiteral("GoTo"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFixedSize(kClientWidth, kClientHeight);

  const struct {
    QRadioButton** button;
    const char* name;
    const char* caption;
    uint8_t unit;
    int left;
  } units[] = {{&RadioButton1, "RadioButton1", "Byte", px::kGotoByte, 24},
               {&RadioButton2, "RadioButton2", "Word", px::kGotoWord, 120},
               {&RadioButton3, "RadioButton3", "Sector", px::kGotoSector, 216}};
  for (const auto& u : units) {
    auto* radio = new QRadioButton(QString::fromLatin1(u.caption), this);
    radio->setObjectName(QString::fromLatin1(u.name));
    radio->setGeometry(u.left, 14, 80, 20);
    const uint8_t unit = u.unit;
    connect(radio, &QRadioButton::clicked, this,
            [this, unit] { px::SelectGotoUnit(request_, unit); });
    *u.button = radio;
  }
  // The opener always starts from Byte, and the request says so already.
  RadioButton1->setChecked(true);

  Edit1 = new QLineEdit(this);
  Edit1->setObjectName(QStringLiteral("Edit1"));
  Edit1->setGeometry(24, 46, 257, 23);
  connect(Edit1, &QLineEdit::returnPressed, this, &TForm3::Button1Click);

  Button1 = MakeDialogButton(this, "Button1", QStringLiteral("OK"), {56, 90, 80, 27});
  Button2 = MakeDialogButton(this, "Button2", QStringLiteral("CANCEL"), {168, 90, 80, 27});
  connect(Button1, &QPushButton::clicked, this, &TForm3::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm3::Button2Click);

  Edit1->setFocus();
}

void TForm3::Button1Click() {
  try {
    px::ConfirmGoto(request_, Edit1->text().toStdString());
  } catch (const px::ConversionError& error) {
    // As the program's general error handler shows it; the dialog stays open
    // for a correction.
    WindowMessages(this).Show("", error.what(), px::MessageIcon::Error);
    return;
  }
  accept();
}

void TForm3::Button2Click() {
  px::CancelGoto(request_);
  reject();
}

void TForm3::Run(QWidget* parent, uint32_t& gotoSector) {
  TForm3 dialog(parent);
  dialog.exec();
  if (const auto sector = px::GotoSectorFor(dialog.Request())) gotoSector = *sector;
}

}  // namespace px::app
