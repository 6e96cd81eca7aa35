#include "app/form2_make_bin.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QDateTime>
#include <QHeaderView>
#include <QKeyEvent>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/qt_text.h"
#include "common/number_text.h"
#include "firmware/image_files.h"

namespace px::app {

namespace {

std::filesystem::path ToPath(const QString& text) {
  return std::filesystem::path(text.toStdU16String());
}

template <typename Widget>
Widget* Named(Widget* widget, const char* name, QRect geometry) {
  widget->setObjectName(QString::fromLatin1(name));
  widget->setGeometry(geometry);
  return widget;
}

QLabel* Caption(QWidget* parent, const QString& text, QRect geometry) {
  auto* label = new QLabel(text, parent);
  label->setGeometry(geometry);
  return label;
}

QPushButton* Button(QWidget* parent, const char* name, const QString& text, QRect geometry) {
  auto* button = Named(new QPushButton(text, parent), name, geometry);
  button->setAutoDefault(false);
  return button;
}

QStringList BinaryFilters() {
  return {QStringLiteral("Binary code (*.bin)"), QStringLiteral("All files (*.*)")};
}

}  // namespace

void TForm2::BarPanels::SetText(int panel, std::string_view text) {
  if (panel < 0 || panel >= static_cast<int>(labels.size())) return;
  labels[static_cast<std::size_t>(panel)]->setText(Q(text));
}

QString TForm2::BarPanels::Text(int panel) const {
  if (panel < 0 || panel >= static_cast<int>(labels.size())) return {};
  return labels[static_cast<std::size_t>(panel)]->text();
}

TForm2::TForm2(px::FirmwareState& firmware, px::Messages& messages, uint32_t seed, QWidget* parent)
    : QDialog(parent), firmware_(firmware), messages_(messages), fill_(seed) {
  setObjectName(QStringLiteral("Form2"));
  setWindowTitle(QStringLiteral("Make Bin"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFixedSize(kClientWidth, kClientHeight);
  // A dense window: a face a little smaller than the main window's keeps each
  // label beside its box.
  QFont small = font();
  small.setPixelSize(12);
  setFont(small);

  CreateGrid();
  Button1 = Button(this, "Button1", QStringLiteral("Add Sub-code"), {25, 258, 121, 25});
  Button2 = Button(this, "Button2", QStringLiteral("Save Bin"), {194, 258, 121, 25});
  connect(Button1, &QPushButton::clicked, this, &TForm2::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm2::Button2Click);

  PageControl1 = Named(new QTabWidget(this), "PageControl1", {8, 292, 324, 197});
  auto* setting = new QWidget;
  setting->setObjectName(QStringLiteral("TabSheet1"));
  auto* make = new QWidget;
  make->setObjectName(QStringLiteral("TabSheet2"));
  PageControl1->addTab(setting, QStringLiteral("Setting"));
  PageControl1->addTab(make, QStringLiteral("Make"));
  CreateSettingPage(setting);
  CreateMakePage(make);
  CreateStatusBar();
  CreateDialogs();
  RefreshGrid();
}

void TForm2::Open(QWidget* mainWindow, px::FirmwareState& firmware, px::Messages& messages) {
  auto* form = mainWindow->findChild<TForm2*>(QString(), Qt::FindDirectChildrenOnly);
  if (form == nullptr) {
    form = new TForm2(firmware, messages,
                      static_cast<uint32_t>(QDateTime::currentMSecsSinceEpoch()), mainWindow);
  }
  form->exec();
}

void TForm2::CreateGrid() {
  StringGrid1 = Named(new QTableWidget(kRows, kColumns, this), "StringGrid1",
                      {25, 8, kColumns * kCellWidth + 2, kRows * kCellHeight + 2});
  // Cells are 72 x 20: the grid's own smaller face, and text clipped at the
  // cell's edge rather than shortened with an ellipsis.
  QFont cells = font();
  cells.setPixelSize(11);
  StringGrid1->setFont(cells);
  StringGrid1->setTextElideMode(Qt::ElideNone);
  StringGrid1->setWordWrap(false);
  StringGrid1->horizontalHeader()->hide();
  StringGrid1->verticalHeader()->hide();
  StringGrid1->horizontalHeader()->setMinimumSectionSize(1);
  StringGrid1->verticalHeader()->setMinimumSectionSize(1);
  StringGrid1->horizontalHeader()->setDefaultSectionSize(kCellWidth);
  StringGrid1->verticalHeader()->setDefaultSectionSize(kCellHeight);
  StringGrid1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  StringGrid1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  StringGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  StringGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
  StringGrid1->setTabKeyNavigation(false);
  const QBrush fixed = palette().brush(QPalette::Button);
  const QBrush text = palette().brush(QPalette::ButtonText);
  for (int row = 0; row < kRows; ++row) {
    for (int column = 0; column < kColumns; ++column) {
      auto* item = new QTableWidgetItem;
      if (row == 0 || column == 0) {
        // The title row and column can be neither selected nor edited, as a
        // grid's fixed cells; they keep the normal text colour all the same.
        item->setFlags(Qt::NoItemFlags);
        item->setBackground(fixed);
        item->setForeground(text);
      } else {
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
      }
      StringGrid1->setItem(row, column, item);
    }
  }
  StringGrid1->setCurrentCell(1, 1);
  StringGrid1->installEventFilter(this);
  connect(StringGrid1, &QTableWidget::currentCellChanged, this,
          [this](int row, int column) { CellSelected(row, column); });
  connect(StringGrid1, &QTableWidget::cellDoubleClicked, this, &TForm2::StringGrid1DblClick);

  Edit1 = new QLineEdit(StringGrid1->viewport());
  Edit1->setObjectName(QStringLiteral("Edit1"));
  Edit1->setFrame(false);
  Edit1->hide();
  Edit1->installEventFilter(this);

  ComboBox1 = new QComboBox(StringGrid1->viewport());
  ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
  ComboBox1->addItems({QStringLiteral("FALSE"), QStringLiteral("TRUE")});
  ComboBox1->hide();
  ComboBox1->installEventFilter(this);
  connect(ComboBox1, &QComboBox::activated, this, &TForm2::UpdateFlagChosen);
}

void TForm2::CreateSettingPage(QWidget* page) {
  px::ImageSettings& settings = settings_;
  CheckBox1 = Named(new QCheckBox(QStringLiteral("RAID Mode setting by  jumper"), page),
                    "CheckBox1", {8, 6, 280, 19});
  CheckBox1->setChecked(settings.raidModeByJumper);
  connect(CheckBox1, &QCheckBox::toggled, this,
          [this](bool on) { settings_.raidModeByJumper = on; });
  CheckBox2 =
      Named(new QCheckBox(QStringLiteral("ZL7314B chip"), page), "CheckBox2", {8, 26, 280, 19});
  CheckBox2->setChecked(settings.zl7314bChip);
  connect(CheckBox2, &QCheckBox::toggled, this, [this](bool on) { settings_.zl7314bChip = on; });

  // The two sensor groups look alike: "Supported:" and "Alarm Limit:" with
  // the limit's unit after it.
  struct Sensor {
    const char* name;
    QString title;
    QRect geometry;
    QString unit;
    const char* supportedName;
    std::string* supported;
    const char* limitName;
    std::string* limit;
  };
  const auto sensorGroup = [this, page](const Sensor& sensor, QLineEdit*& supportedEdit,
                                        QLineEdit*& limitEdit) {
    auto* group = Named(new QGroupBox(sensor.title, page), sensor.name, sensor.geometry);
    Caption(group, QStringLiteral("Supported:"), {8, 20, 76, 20});
    Caption(group, QStringLiteral("Alarm Limit:"), {8, 46, 76, 20});
    supportedEdit =
        Named(new QLineEdit(Q(*sensor.supported), group), sensor.supportedName, {86, 20, 36, 21});
    limitEdit = Named(new QLineEdit(Q(*sensor.limit), group), sensor.limitName, {86, 46, 36, 21});
    Caption(group, sensor.unit, {125, 46, 26, 20});
    std::string* supported = sensor.supported;
    std::string* limit = sensor.limit;
    connect(supportedEdit, &QLineEdit::textChanged, this,
            [supported](const QString& text) { *supported = text.toStdString(); });
    connect(limitEdit, &QLineEdit::textChanged, this,
            [limit](const QString& text) { *limit = text.toStdString(); });
    return group;
  };
  GroupBox1 = sensorGroup({"GroupBox1",
                           QStringLiteral(" FAN "),
                           {6, 48, 152, 74},
                           QStringLiteral("RPM"),
                           "Edit2",
                           &settings.fanSupported,
                           "Edit3",
                           &settings.fanAlarmLimit},
                          Edit2, Edit3);
  GroupBox2 = sensorGroup({"GroupBox2",
                           QStringLiteral(" Thermal sensor "),
                           {162, 48, 152, 74},
                           QStringLiteral("℃"),
                           "Edit4",
                           &settings.thermalSupported,
                           "Edit5",
                           &settings.thermalAlarmLimit},
                          Edit4, Edit5);

  GroupBox3 = Named(new QGroupBox(QStringLiteral(" Function Supported "), page), "GroupBox3",
                    {6, 126, 308, 42});
  CheckBox3 = Named(new QCheckBox(QStringLiteral("Schedule Backup"), GroupBox3), "CheckBox3",
                    {10, 18, 130, 19});
  CheckBox4 = Named(new QCheckBox(QStringLiteral("Fast Backup"), GroupBox3), "CheckBox4",
                    {150, 18, 120, 19});
  CheckBox3->setChecked(settings.scheduleBackup);
  CheckBox4->setChecked(settings.fastBackup);
  connect(CheckBox3, &QCheckBox::toggled, this, [this](bool on) { settings_.scheduleBackup = on; });
  connect(CheckBox4, &QCheckBox::toggled, this, [this](bool on) { settings_.fastBackup = on; });
}

void TForm2::CreateMakePage(QWidget* page) {
  CheckBox5 = Named(new QCheckBox(QStringLiteral("Bin Size Auto-detected"), page), "CheckBox5",
                    {8, 8, 200, 19});
  CheckBox5->setChecked(settings_.autoSize);
  connect(CheckBox5, &QCheckBox::toggled, this, &TForm2::CheckBox5Click);

  GroupBox4 =
      Named(new QGroupBox(QStringLiteral("  Bin Size  "), page), "GroupBox4", {8, 34, 160, 128});
  const std::array<px::BinSize, 4> sizes = {px::BinSize::OneMBits, px::BinSize::TwoMBits,
                                            px::BinSize::FourMBits, px::BinSize::EightMBits};
  const std::array<const char*, 4> captions = {"1M Bits", "2M Bits", "4M Bits", "8M Bits"};
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const std::string name = "RadioButton" + std::to_string(i + 1);
    auto* radio = Named(new QRadioButton(QString::fromLatin1(captions[i]), GroupBox4), name.c_str(),
                        {16, 22 + 24 * static_cast<int>(i), 120, 19});
    const px::BinSize size = sizes[i];
    connect(radio, &QRadioButton::clicked, this, [this, size] { settings_.binSize = size; });
    SizeButtons[i] = radio;
  }
  GroupBox4->setEnabled(!settings_.autoSize);
}

void TForm2::CreateStatusBar() {
  StatusBar1 = Named(new QFrame(this), "StatusBar1",
                     {0, kClientHeight - kStatusHeight, kClientWidth, kStatusHeight});
  int left = 0;
  for (std::size_t i = 0; i < panels_.labels.size(); ++i) {
    // The last panel reaches to the window's edge, as a status bar's last
    // panel does.
    const bool last = i + 1 == panels_.labels.size();
    const int width = last ? std::max(kPanelWidths[i], kClientWidth - left) : kPanelWidths[i];
    auto* label = Named(new QLabel(StatusBar1), ("Panel" + std::to_string(i)).c_str(),
                        {left, 0, width, kStatusHeight});
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panels_.labels[i] = label;
    left += width;
  }
}

void TForm2::CreateDialogs() {
  // Made when used, not with the window: every file dialog keeps a thread of
  // its own that would otherwise live as long as the main window. Both
  // start in the program's folder, where SPIHEAD.BIN and the sub-codes are
  // kept beside the tool.
  const auto dialog = [this](const char* name, QFileDialog::AcceptMode mode) {
    auto* fileDialog = new QFileDialog(this);
    fileDialog->setObjectName(QString::fromLatin1(name));
    fileDialog->setAcceptMode(mode);
    fileDialog->setNameFilters(BinaryFilters());
    fileDialog->setDirectory(QCoreApplication::applicationDirPath());
    return std::unique_ptr<QFileDialog>(fileDialog);
  };
  chooseSubCodes_ = [dialog] {
    const auto open = dialog("OpenDialog1", QFileDialog::AcceptOpen);
    open->setFileMode(QFileDialog::ExistingFiles);
    return open->exec() == QDialog::Accepted ? open->selectedFiles() : QStringList();
  };
  chooseSavePath_ = [dialog]() -> std::optional<std::filesystem::path> {
    const auto save = dialog("SaveDialog1", QFileDialog::AcceptSave);
    if (save->exec() != QDialog::Accepted || save->selectedFiles().isEmpty()) return std::nullopt;
    return ToPath(save->selectedFiles().constFirst());
  };
}

void TForm2::RefreshGrid() {
  for (int row = 0; row < kRows; ++row) {
    for (int column = 0; column < kColumns; ++column) {
      StringGrid1->item(row, column)->setText(Q(table_.CellText(column, row)));
    }
  }
}

bool TForm2::BuildImage() {
  px::ImageBuild build = px::BuildImage(px::ReadImageParts(table_), settings_, fill_);
  if (build.configOffset) panels_.SetText(1, std::to_string(*build.configOffset));
  if (build.refusal) {
    messages_.Show(build.refusal->title, build.refusal->text, px::MessageIcon::Error);
    return false;
  }
  panels_.SetText(0, std::to_string(build.image.size()));
  firmware_.ReplaceImage(std::move(build.image));
  return true;
}

void TForm2::HideEditors() {
  Edit1->hide();
  ComboBox1->hide();
  editRow_ = -1;
}

void TForm2::CellSelected(int row, int column) {
  HideEditors();
  RefreshGrid();
  if (row < 0 || column < 0) return;
  panels_.SetText(2, std::to_string(row - 1));
  if (const std::optional<std::string> detail = table_.CellDetail(column, row)) {
    panels_.SetText(3, *detail);
  }
}

void TForm2::Button1Click() {
  for (const QString& file : chooseSubCodes_()) {
    if (const std::optional<std::string> refusal = table_.AddFile(ToPath(file))) {
      messages_.Show("Error", *refusal, px::MessageIcon::Error);
    }
  }
  RefreshGrid();
}

void TForm2::Button2Click() {
  HideEditors();
  if (BuildImage()) {
    if (const std::optional<std::filesystem::path> path = chooseSavePath_()) {
      px::SaveImageFile(*path, firmware_.FirmwareImage, panels_, messages_);
    }
  }
  // Built, refused or cancelled, the window's work is done.
  close();
}

void TForm2::CheckBox5Click() {
  settings_.autoSize = CheckBox5->isChecked();
  GroupBox4->setEnabled(!settings_.autoSize);
}

void TForm2::StringGrid1DblClick() {
  const int row = StringGrid1->currentRow();
  const int column = StringGrid1->currentColumn();
  HideEditors();
  const px::CellEditor editor = table_.EditorFor(column, row);
  if (editor == px::CellEditor::None) return;
  QWidget* field = editor == px::CellEditor::CodeType ? static_cast<QWidget*>(Edit1) : ComboBox1;
  field->setGeometry(StringGrid1->visualRect(StringGrid1->model()->index(row, column)));
  if (editor == px::CellEditor::CodeType) {
    Edit1->setText(StringGrid1->item(row, column)->text());
    Edit1->selectAll();
  } else {
    ComboBox1->setCurrentIndex(table_.Entry(row - 1).update ? 1 : 0);
  }
  editRow_ = row;
  field->show();
  field->setFocus();
}

void TForm2::CodeTypeEntered() {
  try {
    table_.SetCodeTypeText(editRow_, Edit1->text().toStdString());
  } catch (const px::ConversionError& error) {
    // The program's general error handler shows it; the editor stays open
    // and the code type as it was.
    messages_.Show("", error.what(), px::MessageIcon::Error);
    return;
  }
  HideEditors();
  RefreshGrid();
  StringGrid1->setFocus();
}

void TForm2::UpdateFlagChosen(int item) {
  table_.SetUpdateFlag(editRow_, item == 1);
  HideEditors();
  RefreshGrid();
  StringGrid1->setFocus();
}

bool TForm2::GridKey(int key, const QString& text) {
  const int row = StringGrid1->currentRow();
  const int column = StringGrid1->currentColumn();
  if (key == Qt::Key_Return || key == Qt::Key_Enter) {
    StringGrid1DblClick();
    return true;
  }
  if (key == Qt::Key_Delete) {
    table_.Delete(row);
  } else if (text == QLatin1String("+")) {
    StringGrid1->setCurrentCell(table_.MoveUp(row), column);
  } else if (text == QLatin1String("-")) {
    StringGrid1->setCurrentCell(table_.MoveDown(row), column);
  } else {
    return false;
  }
  RefreshGrid();
  return true;
}

bool TForm2::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return QDialog::eventFilter(watched, event);
  auto* key = static_cast<QKeyEvent*>(event);
  const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
  // Enter ends an edit here; passed on, it would reach the grid and open the
  // editor again.
  if (watched == Edit1 && enter) {
    CodeTypeEntered();
    return true;
  }
  if (watched == ComboBox1 && enter && !ComboBox1->view()->isVisible()) {
    UpdateFlagChosen(ComboBox1->currentIndex());
    return true;
  }
  // Keys an editor leaves alone (Escape, Up, Down) come on to the grid.
  if (watched == StringGrid1) {
    HideEditors();
    if (GridKey(key->key(), key->text())) return true;
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace px::app
