// Every text the main window can show fits its box, with the fonts of the
// machine the test runs on: the layout's places and sizes are fixed, so a
// face wider than the one it was drawn for must not push a text out of its
// label, check box, button or status panel.

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QtTest>

#include "app/form1_main.h"
#include "sim/fake_clock.h"
#include "sim/virtual_bus.h"
#include "support/recording_ui.h"

namespace {

// The widest of `glyphs` in the control's font, `count` times.
QString Widest(const QFontMetrics& metrics, QLatin1StringView glyphs, int count) {
  QChar widest = glyphs.front();
  for (const QChar glyph : glyphs)
    if (metrics.horizontalAdvance(glyph) > metrics.horizontalAdvance(widest)) widest = glyph;
  return QString(count, widest);
}

// {dN} stands for N decimal digits and {hN} for N hexadecimal ones, each the
// widest there is in the control's font.
QString Expand(const QString& text, const QFontMetrics& metrics) {
  static const QRegularExpression digits(QStringLiteral("\\{([dh])(\\d+)\\}"));
  QString out = text;
  for (QRegularExpressionMatch m = digits.match(out); m.hasMatch(); m = digits.match(out)) {
    const QLatin1StringView glyphs = m.captured(1) == QLatin1String("d")
                                         ? QLatin1StringView("0123456789")
                                         : QLatin1StringView("0123456789ABCDEF");
    out.replace(m.capturedStart(), m.capturedLength(),
                Widest(metrics, glyphs, m.captured(2).toInt()));
  }
  return out;
}

// What is wrong with `text` in `control`, or nothing when it shows whole.
// Labels and check boxes say themselves what they need for a text; a
// button's text must fit the label area its style leaves inside the frame.
// Heights count for labels, whose texts may have several lines; a check
// box's or a button's height is the layout's and holds one line.
QString Overflow(QWidget* control, const QString& text) {
  QSize need;
  bool lines = false;
  if (auto* label = qobject_cast<QLabel*>(control)) {
    const QString shown = label->text();
    label->setText(text);
    need = label->sizeHint();
    label->setText(shown);
    lines = true;
  } else if (auto* box = qobject_cast<QCheckBox*>(control)) {
    const QString shown = box->text();
    box->setText(text);
    need = box->sizeHint();
    box->setText(shown);
  } else if (auto* button = qobject_cast<QPushButton*>(control)) {
    QStyleOptionButton option;
    option.initFrom(button);
    const QRect area =
        button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
    need = {button->fontMetrics().horizontalAdvance(text) + button->width() - area.width(),
            button->fontMetrics().height()};
  } else {
    return QStringLiteral("%1 is not a label, check box or button").arg(control->objectName());
  }
  if (need.width() <= control->width() && (!lines || need.height() <= control->height())) return {};
  return QStringLiteral("%1 \"%2\" needs %3x%4, has %5x%6")
      .arg(control->objectName(), text)
      .arg(need.width())
      .arg(need.height())
      .arg(control->width())
      .arg(control->height());
}

}  // namespace

class LayoutTextsTest : public QObject {
  Q_OBJECT

 private slots:
  void EveryTextFitsItsBox() {
    px::sim::FakeClock clock;
    px::sim::VirtualBus bus(&clock);
    px::test::RecordingMessages messages;
    QTemporaryDir logs;
    px::app::FormServices services;
    services.transport = &bus;
    services.messages = &messages;
    services.clock = &clock;
    services.logDirectory = logs.path().toStdString();
    px::app::TForm1 form(std::move(services));
    form.show();
#ifndef _WIN32
    // The face the layout was measured with; any other machine's stand-in
    // for Arial may be taller or wider (scripts/install-deps.sh installs it).
    QVERIFY2(QFontInfo(form.font()).family() == QStringLiteral("Liberation Sans"),
             qPrintable(QStringLiteral("the window's font is %1, not Liberation Sans: is "
                                       "fonts-liberation2 installed?")
                            .arg(QFontInfo(form.font()).family())));
#endif

    // What each control of the window can say. Device and file texts (model,
    // serial, device name, paths) are free text; the table holds real ones.
    struct Case {
      const char* control;
      QStringList texts;
    };
    const Case cases[] = {
        {"CheckBox1", {"Device1"}},
        {"CheckBox3", {"Device2"}},
        {"CheckBox4", {"Device3"}},
        {"CheckBox5", {"Device4"}},
        {"CheckBox6", {"Buzzer Mute"}},
        {"Button10", {"Start"}},
        {"Button11", {"Stop"}},
        {"Button1", {"View log"}},
        {"BitBtn1", {"Load Firmware "}},
        {"Button2", {"Start Upgrade"}},
        {"Label4", {"PX RAID1 Dual Bay", "PX RAID0 Dual Bay", "No Drive found! "}},
        {"Label17",
         {"Mode : Striping", "Mode : Mirror", "Mode : NRAID", "Mode : JBOD", "Mode : Bypass",
          "Mode : Undefine"}},
        {"Label27", {"Capacity : {d6} GB"}},
        {"StaticText5", {"Firmware Ver. {h6}.{h1}", "Firmware Ver. 140318.5"}},
        {"StaticText1", {" Drive detecting", "No Drive found! ", " Device {d1}/{d1}[EFG]"}},
        {"Label23", {"HDD1"}},
        {"Label25", {"HDD2"}},
        {"Label14", {"WDC WD10EZEX-00BN5A0", "WDC WD40EFRX-68N32N0", "ST4000DM004-2CV104"}},
        {"Label20", {"WDC WD10EZEX-00BN5A0", "WDC WD40EFRX-68N32N0", "ST4000DM004-2CV104"}},
        {"Label15", {"WD-WCC3F0000001", "WD-WCC4E1234..."}},
        {"Label21", {"WD-WCC3F0000001", "WD-WCC4E1234..."}},
        {"Label16", {"{d6} GB"}},
        {"Label22", {"{d6} GB"}},
        {"Label19", {" Ready ", " FAIL ", " Capacity too small ", " INSERTED ", " OFF "}},
        {"Label24", {" Ready ", " FAIL ", " Capacity too small ", " INSERTED ", " OFF "}},
        {"StaticText6", {"Bad Sector"}},
        {"StaticText7", {"Bad Sector"}},
        {"Label18",
         {"Normal", "Failure", "Single HDD\nPresent", " ^\nrebuilding {d3}%\n ^",
          " v\nrebuilding {d3}%\n v"}},
        {"Label1", {"Current LBA:\n{d10}"}},
        {"Label12", {"Firmware Update..."}},
        {"StatusBar1/Panel0",
         {"3x,{h2}", "{h2}4x,{h2}", "{h2},6x,{h2}", "{h2}5x,{h2}", "Chksum:{h8}"}},
        {"StatusBar1/Panel2", {"SC = 1x0{d1}{h2}", "De, {d1}, OK", "Mode 1", "Mode 2", "F:{h8}"}},
        {"StatusBar1/Panel3", {"G = 2x, {h2}", "{d1}", "{d1}, 1OK", "C:{h8}"}},
        {"StatusBar1/Panel4",
         {"Device not found!!!",
          "CreateFile blocked!",
          "Error code 120",
          "Inquiry fail at DEVICE{d1}",
          "ReadLBA error at LBA = {h4}, SecCnt = 1",
          "ReadSPI fail {d1} times, Address = {h4}",
          "WriteSPI fail{d1} times, Address = {h4}",
          "EraseSPI fail {d1} times, Address = {h4}",
          "ReadSPI fail, Address = {h4}",
          "WriteSPI fail, Address = {h4}",
          "EraseSPI fail, Address = {h4}",
          "No Upgrade Mode!!!",
          "SPI test OK",
          "SPI Erase OK",
          "SPI Program OK",
          "SPI Verify OK",
          "SPI Erase Fail.",
          "SPI Program Fail.",
          "SPI Verify fail !!!",
          "Backing up the flash...",
          "Backup fail, no two reads agree, Address = {h4}"}},
    };
    QStringList overflows;
    for (const Case& c : cases) {
      QWidget* control = &form;
      for (const QString& name : QString::fromLatin1(c.control).split(QLatin1Char('/')))
        if (control != nullptr) control = control->findChild<QWidget*>(name);
      QVERIFY2(control != nullptr, c.control);
      for (const QString& text : c.texts)
        if (const QString overflow = Overflow(control, Expand(text, control->fontMetrics()));
            !overflow.isEmpty())
          overflows << overflow;
    }
    // The captions beside the disk pictures have no names of their own.
    for (QLabel* caption : form.Panel2->findChildren<QLabel*>())
      if (caption->objectName().isEmpty())
        if (const QString overflow = Overflow(caption, caption->text()); !overflow.isEmpty())
          overflows << overflow;
    QVERIFY2(overflows.isEmpty(), qPrintable(overflows.join(QLatin1Char('\n'))));
    form.close();
  }
};

QTEST_MAIN(LayoutTextsTest)
#include "layout_texts_test.moc"
