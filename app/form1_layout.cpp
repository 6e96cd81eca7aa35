// The main window's controls, where they sit and what they say at design
// time; the creation sequence then sets their run-time state.

#include <QPainter>
#include <QPalette>

#include "app/form1_main.h"
#include "app/group_frame.h"
#include "raid/settings_model.h"

namespace px::app {

namespace {

template <typename W>
W* Place(W* widget, const char* name, int x, int y, int w = -1, int h = -1) {
  widget->setObjectName(QString::fromLatin1(name));
  if (w < 0 || h < 0) {
    widget->adjustSize();
    if (w < 0) w = widget->width();
    if (h < 0) h = widget->height();
  }
  widget->setGeometry(x, y, w, h);
  return widget;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int x, int y, int w,
                  int h = 16) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  return Place(label, name, x, y, w, h);
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text, int x, int y,
                        int w = 75, int h = 25) {
  return Place(new QPushButton(text, parent), name, x, y, w, h);
}

// A hard disk seen from above: case, platter, hub and head arm.
QPixmap DiskPicture() {
  QPixmap picture(48, 48);
  picture.fill(Qt::transparent);
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x55, 0x5f, 0x6b), 1.5));
  p.setBrush(QColor(0xc9, 0xd0, 0xd8));
  p.drawRoundedRect(QRectF(4, 2, 40, 44), 4, 4);
  QRadialGradient platter(QPointF(22, 22), 17);
  platter.setColorAt(0, QColor(0xf5, 0xf7, 0xfa));
  platter.setColorAt(1, QColor(0x8e, 0x9a, 0xa8));
  p.setBrush(platter);
  p.drawEllipse(QPointF(22, 21), 15, 15);
  p.setBrush(QColor(0x55, 0x5f, 0x6b));
  p.drawEllipse(QPointF(22, 21), 3, 3);
  p.setPen(QPen(QColor(0x33, 0x3a, 0x44), 3, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(38, 40), QPointF(28, 26));
  return picture;
}

}  // namespace

void TForm1::CreateControls() {
  setFixedSize(kClientWidth, kClientHeight);
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  QPalette white = palette();
  white.setColor(QPalette::Window, Qt::white);
  setPalette(white);
  setAutoFillBackground(true);
  // The layout's own face first, so the controls are measured in it from the
  // start; ChooseFonts narrows it where the machine's face is wider.
  setFont(DesignFont());

  PageControl1 = Place(new QTabWidget(this), "PageControl1", 10, 70, 345, 411);
  const std::array<const char*, 4> pageCaptions = {"ATA Cmd", "SPI Cmd", "RAID GUI", "TabSheet4"};
  for (std::size_t i = 0; i < TabSheets.size(); ++i) {
    TabSheets[i] = new QWidget;
    TabSheets[i]->setObjectName(QStringLiteral("TabSheet%1").arg(i + 1));
    PageControl1->addTab(TabSheets[i], QString::fromLatin1(pageCaptions[i]));
  }

  CreatePanel2();

  Label4 = MakeLabel(this, "Label4", QString(), 48, 32, 300, 30);

  GroupBox4 = Place(new GroupFrame(QStringLiteral(" Hybrid Information "), this), "GroupBox4", 400,
                    88, 185, 113);
  Label17 = MakeLabel(GroupBox4, "Label17", QStringLiteral("Mode :"), 12, 26, 165);
  Label27 = MakeLabel(GroupBox4, "Label27", QStringLiteral("Capacity :"), 12, 52, 165);
  StaticText5 = MakeLabel(GroupBox4, "StaticText5", QStringLiteral("Firmware Ver."), 12, 78, 165);

  GroupBox3 = Place(new GroupFrame(QStringLiteral("Firmware Upgrade"), this), "GroupBox3", 400, 337,
                    193, 129);
  GroupBox3->setAutoFillBackground(true);
  QPalette lime = GroupBox3->palette();
  lime.setColor(QPalette::Window, QColor(0x00, 0xFF, 0x00));
  GroupBox3->setPalette(lime);
  StaticText1 = MakeLabel(GroupBox3, "StaticText1", QStringLiteral(" Drive detecting"), 8, 22, 150);
  UpDown1 = Place(new QScrollBar(Qt::Vertical, GroupBox3), "UpDown1", 160, 18, 25, 22);
  UpDown1->setRange(0, 0);
  UpDown1->setValue(0);
  BitBtn1 = MakeButton(GroupBox3, "BitBtn1", QStringLiteral("Load Firmware "), 8, 50, 177, 30);
  Button2 = MakeButton(GroupBox3, "Button2", QStringLiteral("Start Upgrade"), 8, 88, 177, 30);

  const std::array<const char*, 4> boxNames = {"CheckBox1", "CheckBox3", "CheckBox4", "CheckBox5"};
  const std::array<int, 4> boxLefts = {16, 88, 160, 224};
  for (std::size_t i = 0; i < DeviceBoxes.size(); ++i) {
    auto* box = new QCheckBox(QStringLiteral("Device%1").arg(i + 1), this);
    box->setChecked(true);
    DeviceBoxes[i] = Place(box, boxNames[i], boxLefts[i], 108, 70, 17);
  }

  Button10 = MakeButton(this, "Button10", QStringLiteral("Start"), 398, 225);
  Button10->setToolTip(QStringLiteral("Start status monitor"));
  Button11 = MakeButton(this, "Button11", QStringLiteral("Stop"), 398, 256);
  Button11->setToolTip(QStringLiteral("Stop status monitor"));
  CheckBox6 =
      Place(new QCheckBox(QStringLiteral("Buzzer Mute"), this), "CheckBox6", 32, 392, 100, 17);
  CheckBox7 =
      Place(new QCheckBox(QStringLiteral("Auto Scan"), this), "CheckBox7", 32, 424, 100, 17);

  CheckBox2 =
      Place(new QCheckBox(QStringLiteral("Schedule Backup"), this), "CheckBox2", 400, 288, 120, 17);
  ComboBox1 = Place(new QComboBox(this), "ComboBox1", 472, 312, 45, 21);
  ComboBox2 = Place(new QComboBox(this), "ComboBox2", 520, 312, 53, 21);
  for (std::string_view unit : px::kPeriodUnitTexts)
    ComboBox2->addItem(QString::fromLatin1(unit.data(), static_cast<qsizetype>(unit.size())));
  Button5 = MakeButton(this, "Button5", QStringLiteral("Set"), 576, 312, 40, 21);
  StaticText9 = MakeLabel(this, "StaticText9", QString(), 16, 368, 200);

  Button6 = MakeButton(this, "Button6", QStringLiteral("Drive Initialize"), 488, 240, 100);
  Button3 = MakeButton(this, "Button3", QStringLiteral("Start P0 Scan"), 32, 452, 100);
  Button4 = MakeButton(this, "Button4", QStringLiteral("Start P1 Scan"), 208, 452, 100);

  StaticText2 = MakeLabel(this, "StaticText2", QString(), 496, 16, 125);
  StaticText3 =
      MakeLabel(this, "StaticText3", QStringLiteral("Time Elapsed 0-00:00:00"), 496, 32, 125);
  StaticText4 = MakeLabel(this, "StaticText4", QString(), 496, 48, 125);
  StaticText8 = MakeLabel(this, "StaticText8", QString(), 416, 16, 70);
  Image3 = MakeLabel(this, "Image3", QString(), 240, 96, 32, 32);

  Panel1 = Place(new CaptionPanel(this), "Panel1", 168, 240, 257, 81);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel1->setAutoFillBackground(true);
  Label12 = MakeLabel(Panel1, "Label12", QString(), 12, 8, 233);
  ProgressBar1 = Place(new QProgressBar(Panel1), "ProgressBar1", 12, 54, 233, 17);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setTextVisible(false);

  StatusBar1->setGeometry(0, kClientHeight - PanelStatusBar::kHeight, kClientWidth,
                          PanelStatusBar::kHeight);

  OpenDialog1.SetMaker([this] {
    auto* dialog = new QFileDialog(this);
    dialog->setObjectName(QStringLiteral("OpenDialog1"));
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setNameFilters(
        {QStringLiteral("Binary code (*.bin)"), QStringLiteral("All files (*.*)")});
    return dialog;
  });

  // Controls that lie over the page control or the RAID panel come last in
  // the stacking order, as they do on the form.
  for (QWidget* w : std::initializer_list<QWidget*>{DeviceBoxes[0], DeviceBoxes[1], DeviceBoxes[2],
                                                    DeviceBoxes[3], CheckBox6, CheckBox7, Button3,
                                                    Button4, StaticText9, Panel1})
    w->raise();
  ChooseFonts();
}

void TForm1::CreatePanel2() {
  Panel2 = Place(new QFrame(this), "Panel2", 8, 104, 345, 377);
  Panel2->setFrameStyle(QFrame::NoFrame);
  Panel2->setAutoFillBackground(true);

  const QPixmap disk = DiskPicture();
  Image1 = MakeLabel(Panel2, "Image1", QString(), 16, 24, 48, 48);
  Image2 = MakeLabel(Panel2, "Image2", QString(), 16, 216, 48, 48);
  Image1->setPixmap(disk);
  Image2->setPixmap(disk);
  Label23 = MakeLabel(Panel2, "Label23", QStringLiteral("HDD1"), 20, 74, 44);
  Label25 = MakeLabel(Panel2, "Label25", QStringLiteral("HDD2"), 20, 266, 44);

  // One block of captions and values per disk, HDD1 at the top.
  struct Row {
    const char* caption;
    int y;
  };
  const std::array<Row, 4> rows = {
      {{"Model:", 0}, {"Serial:", 18}, {"Capacity:", 36}, {"Status:", 54}}};
  for (int top : {24, 216})
    for (const Row& row : rows)
      MakeLabel(Panel2, "", QString::fromLatin1(row.caption), 80, top + row.y, 64);
  Label14 = MakeLabel(Panel2, "Label14", QString(), 146, 24, 190);
  Label15 = MakeLabel(Panel2, "Label15", QString(), 146, 42, 190);
  Label16 = MakeLabel(Panel2, "Label16", QString(), 146, 60, 110);
  Label19 = MakeLabel(Panel2, "Label19", QString(), 146, 78, 110);
  StaticText6 = MakeLabel(Panel2, "StaticText6", QString(), 262, 78, 76);
  Label20 = MakeLabel(Panel2, "Label20", QString(), 146, 216, 190);
  Label21 = MakeLabel(Panel2, "Label21", QString(), 146, 234, 190);
  Label22 = MakeLabel(Panel2, "Label22", QString(), 146, 252, 110);
  Label24 = MakeLabel(Panel2, "Label24", QString(), 146, 270, 110);
  StaticText7 = MakeLabel(Panel2, "StaticText7", QString(), 262, 270, 76);
  for (QLabel* state : {Label19, Label24}) state->setAutoFillBackground(false);

  Label18 = MakeLabel(Panel2, "Label18", QString(), 110, 112, 150, 84);
  Label18->setAlignment(Qt::AlignCenter);
  Label1 = MakeLabel(Panel2, "Label1", QString(), 16, 124, 92, 34);

  Button1 = MakeButton(Panel2, "Button1", QStringLiteral("View log"), 272, 348, 65, 25);
  Button1->setToolTip(QStringLiteral("View event log"));
  QPalette red = Button1->palette();
  red.setColor(QPalette::ButtonText, Qt::red);
  Button1->setPalette(red);
}

void TForm1::CreateTimers() {
  struct Spec {
    QTimer** timer;
    const char* name;
    int interval;
  };
  const std::array<Spec, 7> specs = {{{&Timer1, "Timer1", 1000},
                                      {&Timer2, "Timer2", 4000},
                                      {&Timer3, "Timer3", 1000},
                                      {&Timer4, "Timer4", 500},
                                      {&Timer5, "Timer5", 1000},
                                      {&Timer6, "Timer6", 20000},
                                      {&Timer7, "Timer7", 10000}}};
  for (const Spec& spec : specs) {
    auto* timer = new QTimer(this);
    timer->setObjectName(QString::fromLatin1(spec.name));
    timer->setInterval(spec.interval);
    *spec.timer = timer;
  }
  // Timer5 and Timer6 run from the start; the creation sequence starts
  // Timer3 and Timer4 itself.
  Timer5->start();
  Timer6->start();
}

void TForm1::ConnectHandlers() {
  connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
  connect(Timer2, &QTimer::timeout, this, &TForm1::Timer2Timer);
  connect(Timer3, &QTimer::timeout, this, &TForm1::Timer3Timer);
  connect(Timer4, &QTimer::timeout, this, &TForm1::Timer4Timer);
  connect(Timer5, &QTimer::timeout, this, &TForm1::Timer5Timer);
  connect(Timer6, &QTimer::timeout, this, &TForm1::Timer6Timer);
  connect(Timer7, &QTimer::timeout, this, &TForm1::Timer7Timer);
  connect(Button10, &QPushButton::clicked, this, &TForm1::Button10Click);
  connect(Button11, &QPushButton::clicked, this, &TForm1::Button11Click);
  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(BitBtn1, &QPushButton::clicked, this, &TForm1::BitBtn1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
  connect(Button5, &QPushButton::clicked, this, &TForm1::Button5Click);
  connect(StatusBar1, &PanelStatusBar::DoubleClicked, this, &TForm1::StatusBar1DblClick);
  connect(PageControl1, &QTabWidget::currentChanged, this, [this](int index) {
    activePage_ = index;
    PageControl1Change();
  });
  activePage_ = PageControl1->currentIndex();
  // User clicks on a device box; Timer6 and the poll change them from code
  // and call the handler themselves, as a click would.
  for (std::size_t i = 0; i < DeviceBoxes.size(); ++i)
    connect(DeviceBoxes[i], &QCheckBox::clicked, this,
            [this, i] { DeviceCheckBoxClick(static_cast<int>(i)); });
  // The settings boxes react to any change of state, from the user or from
  // the display, as the controller expects a write after either.
  connect(CheckBox6, &QCheckBox::toggled, this, &TForm1::CheckBox6Click);
  connect(CheckBox7, &QCheckBox::toggled, this, &TForm1::CheckBox7Click);
  connect(CheckBox2, &QCheckBox::toggled, this, &TForm1::CheckBox2Click);
  connect(ComboBox2, &QComboBox::currentIndexChanged, this, &TForm1::ComboBox2Change);
}

}  // namespace px::app
