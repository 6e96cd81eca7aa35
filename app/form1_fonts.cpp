// The main window's fonts. The layout was drawn for Arial at 13 px, and its
// boxes keep their places and sizes. Off Windows the window asks for
// Liberation Sans, drawn to Arial's metrics, which the package depends on:
// asked for Arial, a machine without it answers with whatever its font
// configuration puts in Arial's place, Nimbus Sans where ghostscript's fonts
// are installed, a line of which is two pixels taller than Arial's. Where
// the face given is still wider (DejaVu Sans, Linux's usual default, by a
// seventh) texts would run out of their boxes, so each font is the design's,
// narrowed just as far as the widest texts of its boxes need.

#include "app/form1_main.h"
#include "app/text_fit.h"

namespace px::app {

QFont TForm1::DesignFont() {
  QFont design;
#ifdef _WIN32
  design.setFamilies({QStringLiteral("Arial")});
#else
  design.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
#endif
  design.setPixelSize(13);
  return design;
}

void TForm1::ChooseFonts() {
  const QFont design = DesignFont();

  // The window: what its visible controls say, at their widest; in numbers,
  // 0 stands for any decimal digit and D for the widest hexadecimal one.
  // Controls that stay hidden (the scan, schedule and start-time ones) do
  // not count.
  std::vector<BoxTexts> window;
  for (QCheckBox* box : DeviceBoxes) window.push_back({box, {box->text()}});
  for (QWidget* control : std::initializer_list<QWidget*>{
           CheckBox6, Button10, Button11, Button1, BitBtn1, Button2, Label23, Label25, Label12})
    window.push_back({control, {control->property("text").toString()}});
  for (QLabel* caption : Panel2->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly))
    if (caption->objectName().isEmpty()) window.push_back({caption, {caption->text()}});
  window.push_back({Label17,
                    {QStringLiteral("Mode : Striping"), QStringLiteral("Mode : Mirror"),
                     QStringLiteral("Mode : NRAID"), QStringLiteral("Mode : JBOD"),
                     QStringLiteral("Mode : Bypass"), QStringLiteral("Mode : Undefine")}});
  window.push_back({Label27, {QStringLiteral("Capacity : 000000 GB")}});
  window.push_back({StaticText5, {QStringLiteral("Firmware Ver. DDDDDD.D")}});
  window.push_back({StaticText1,
                    {QStringLiteral(" Drive detecting"), QStringLiteral("No Drive found! "),
                     QStringLiteral(" Device 8/8[EFG]")}});
  for (QLabel* model : {Label14, Label20})
    window.push_back(
        {model, {QStringLiteral("WDC WD10EZEX-00BN5A0"), QStringLiteral("WDC WD40EFRX-68N32N0")}});
  for (QLabel* serial : {Label15, Label21})
    window.push_back(
        {serial, {QStringLiteral("WD-WCC3F0000001"), QStringLiteral("WD-WCC4E0000...")}});
  for (QLabel* capacity : {Label16, Label22})
    window.push_back({capacity, {QStringLiteral("000000 GB")}});
  for (QLabel* state : {Label19, Label24})
    window.push_back({state,
                      {QStringLiteral(" Ready "), QStringLiteral(" FAIL "),
                       QStringLiteral(" Capacity too small "), QStringLiteral(" INSERTED "),
                       QStringLiteral(" OFF ")}});
  for (QLabel* badSector : {StaticText6, StaticText7})
    window.push_back({badSector, {QStringLiteral("Bad Sector")}});
  window.push_back(
      {Label18,
       {QStringLiteral("Normal"), QStringLiteral("Failure"), QStringLiteral("Single HDD\nPresent"),
        QStringLiteral(" ^\nrebuilding 100%\n ^")}});
  window.push_back({Label1, {QStringLiteral("Current LBA:\n0000000000")}});
  const QFont windowFont = NarrowedToFit(design, window);
  setFont(windowFont);
  // The device name: the window's face, large; it inherits the narrowing.
  QFont big = design;
  big.setPixelSize(24);
  Label4->setFont(big);

  // The status bar, as status bars do, has a font of its own: the window's,
  // narrowed further for the counters and checksums of its small panels.
  std::vector<BoxTexts> bar;
  const std::array<QStringList, PanelStatusBar::kPanels> panelTexts = {
      QStringList{QStringLiteral("3x,DD"), QStringLiteral("DD4x,DD"), QStringLiteral("DD,6x,DD"),
                  QStringLiteral("DD5x,DD"), QStringLiteral("Chksum:DDDDDDDD")},
      QStringList{},
      QStringList{QStringLiteral("SC = 1x08DD"), QStringLiteral("F:DDDDDDDD"),
                  QStringLiteral("De, 8, OK"), QStringLiteral("Mode 1"), QStringLiteral("Mode 2")},
      QStringList{QStringLiteral("G = 2x, DD"), QStringLiteral("C:DDDDDDDD"),
                  QStringLiteral("9, 1OK")},
      QStringList{QStringLiteral("Device not found!!!"), QStringLiteral("CreateFile blocked!"),
                  QStringLiteral("Error code 120"), QStringLiteral("Inquiry fail at DEVICE9"),
                  QStringLiteral("ReadLBA error at LBA = DDDD, SecCnt = 1"),
                  QStringLiteral("EraseSPI fail 9 times, Address = DDDD"),
                  QStringLiteral("WriteSPI fail, Address = DDDD"),
                  QStringLiteral("No Upgrade Mode!!!"), QStringLiteral("SPI Verify fail !!!")}};
  for (int panel = 0; panel < PanelStatusBar::kPanels; ++panel)
    bar.push_back({StatusBar1->Panel(panel), panelTexts[static_cast<std::size_t>(panel)]});
  StatusBar1->setFont(NarrowedToFit(windowFont, bar));
}

}  // namespace px::app
