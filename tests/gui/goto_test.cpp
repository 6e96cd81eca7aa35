// The GoTo dialog, driven the way a user drives it: typed text, the unit
// chosen, OK, Enter, Cancel or the close button.

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/form3_goto.h"
#include "support/recording_ui.h"
#include "support/when_modal.h"

using px::app::TForm3;

namespace {

using px::test::WhenModal;

}  // namespace

class GotoTest : public QObject {
  Q_OBJECT

 private slots:
  void GotoTurnsTheConfirmedNumberIntoASector_data();
  void GotoTurnsTheConfirmedNumberIntoASector();
  void GotoKeepsTheDialogOpenOnABadNumber();
};

void GotoTest::GotoTurnsTheConfirmedNumberIntoASector_data() {
  QTest::addColumn<int>("unit");  // 0 Byte, 1 Word, 2 Sector
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("how");  // ok, enter, cancel, close
  QTest::addColumn<uint>("sector");  // starts at 77

  QTest::newRow("1FH bytes") << 0 << "1FH"
                             << "ok" << 1u;
  QTest::newRow("200H bytes, Enter") << 0 << "200H"
                                     << "enter" << 2u;
  QTest::newRow("lower-case hex") << 0 << "1fh"
                                  << "enter" << 1u;
  QTest::newRow("1024 words") << 1 << "1024"
                              << "ok" << 5u;
  QTest::newRow("-512 bytes") << 0 << "-512"
                              << "ok" << 8388608u;
  QTest::newRow("7 sectors") << 2 << "7"
                             << "ok" << 7u;
  QTest::newRow("0 sectors") << 2 << "0"
                             << "enter" << 0u;
  QTest::newRow("CANCEL") << 2 << "7"
                          << "cancel" << 77u;
  QTest::newRow("close box") << 2 << "7"
                             << "close" << 77u;
}

void GotoTest::GotoTurnsTheConfirmedNumberIntoASector() {
  QFETCH(int, unit);
  QFETCH(QString, text);
  QFETCH(QString, how);
  QFETCH(uint, sector);

  bool opened = false;
  WhenModal<TForm3>([&](TForm3& dialog) {
    opened = true;
    // Every opening starts the same: Byte, an empty number with the focus.
    QCOMPARE(dialog.windowTitle(), QStringLiteral("GoTo"));
    QCOMPARE(dialog.size(), QSize(TForm3::kClientWidth, TForm3::kClientHeight));
    QVERIFY(dialog.RadioButton1->isChecked());
    QVERIFY(dialog.Edit1->text().isEmpty());
    QCOMPARE(dialog.focusWidget(), dialog.Edit1);

    QRadioButton* radios[] = {dialog.RadioButton1, dialog.RadioButton2, dialog.RadioButton3};
    QTest::mouseClick(radios[unit], Qt::LeftButton);
    QTest::keyClicks(dialog.Edit1, text);
    if (how == "ok") QTest::mouseClick(dialog.Button1, Qt::LeftButton);
    if (how == "enter") QTest::keyClick(dialog.Edit1, Qt::Key_Return);
    if (how == "cancel") QTest::mouseClick(dialog.Button2, Qt::LeftButton);
    if (how == "close") dialog.close();
  });
  uint32_t gotoSector = 77;
  TForm3::Run(nullptr, gotoSector);
  QVERIFY(opened);
  QCOMPARE(gotoSector, sector);
}

void GotoTest::GotoKeepsTheDialogOpenOnABadNumber() {
  QString boxText;
  bool stayedOpen = false;
  WhenModal<TForm3>([&](TForm3& dialog) {
    QTest::mouseClick(dialog.RadioButton2, Qt::LeftButton);
    for (const QString& bad : {QStringLiteral("12Q"), QString()}) {
      dialog.Edit1->setText(bad);
      WhenModal<QMessageBox>([&](QMessageBox& box) {
        boxText = box.text();
        box.accept();
      });
      QTest::mouseClick(dialog.Button1, Qt::LeftButton);
      QCOMPARE(boxText, QStringLiteral("'%1' is not a valid integer value").arg(bad));
      // Nothing changed: still open, Word still chosen and unconfirmed.
      QVERIFY(dialog.isVisible());
      QCOMPARE(dialog.Request().GotoUnit, uint8_t{px::kGotoUnconfirmed | px::kGotoWord});
      QCOMPARE(dialog.Request().GotoValue, 0u);
    }
    stayedOpen = true;
    dialog.Edit1->setText(QStringLiteral("200H"));
    QTest::keyClick(dialog.Edit1, Qt::Key_Return);
  });
  uint32_t gotoSector = 77;
  TForm3::Run(nullptr, gotoSector);
  QVERIFY(stayedOpen);
  QCOMPARE(gotoSector, 3u);  // word 0x200 = byte 0x400, the third sector
}

QTEST_MAIN(GotoTest)
#include "goto_test.moc"
