#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <QTabWidget>
#include <QTableWidget>
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>

#include "common/ui.h"
#include "firmware/firmware_state.h"
#include "firmware/image_builder.h"
#include "firmware/sub_code_table.h"

namespace px::app {

// The "Make Bin" window: assembles a flash image from SPIHEAD.BIN, up to ten
// sub-code files and the settings pages, saves it, and leaves it as the
// program's firmware image for "Start Upgrade". The window lives as long as
// the main window, so the sub-code table is still there when it is opened
// again.
class TForm2 final : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kClientWidth = 340;
  static constexpr int kClientHeight = 514;
  static constexpr int kStatusHeight = 19;
  static constexpr int kCellWidth = 72;
  static constexpr int kCellHeight = 20;
  static constexpr int kColumns = px::SubCodeTable::kColumns;
  static constexpr int kRows = px::SubCodeTable::kRows;
  static constexpr std::array<int, 4> kPanelWidths = {80, 80, 30, 130};

  // The pseudo-random fill follows `seed`; Open() passes the time.
  TForm2(px::FirmwareState& firmware, px::Messages& messages, uint32_t seed,
         QWidget* parent = nullptr);

  // Shows the main window's "Make Bin" window modally, creating it on first
  // use. Keeping away while a firmware operation runs is the caller's part.
  static void Open(QWidget* mainWindow, px::FirmwareState& firmware, px::Messages& messages);

  // Tests choose files without dialogs. The save dialog gives nothing when
  // cancelled.
  using ChooseSubCodes = std::function<QStringList()>;
  using ChooseImagePath = std::function<std::optional<std::filesystem::path>()>;
  void SetFileChoosers(ChooseSubCodes openFiles, ChooseImagePath savePath) {
    chooseSubCodes_ = std::move(openFiles);
    chooseSavePath_ = std::move(savePath);
  }

  const px::SubCodeTable& Table() const { return table_; }
  QString PanelText(int panel) const { return panels_.Text(panel); }

  QTableWidget* StringGrid1 = nullptr;
  QLineEdit* Edit1 = nullptr;      // code type editor
  QComboBox* ComboBox1 = nullptr;  // update flag editor
  QPushButton* Button1 = nullptr;  // Add Sub-code
  QPushButton* Button2 = nullptr;  // Save Bin
  QTabWidget* PageControl1 = nullptr;
  // "Setting".
  QCheckBox* CheckBox1 = nullptr;  // RAID Mode setting by  jumper
  QCheckBox* CheckBox2 = nullptr;  // ZL7314B chip
  QGroupBox* GroupBox1 = nullptr;  // FAN
  QLineEdit* Edit2 = nullptr;      // FAN Supported
  QLineEdit* Edit3 = nullptr;      // FAN Alarm Limit, RPM
  QGroupBox* GroupBox2 = nullptr;  // Thermal sensor
  QLineEdit* Edit4 = nullptr;      // thermal Supported
  QLineEdit* Edit5 = nullptr;      // thermal Alarm Limit
  QGroupBox* GroupBox3 = nullptr;  // Function Supported
  QCheckBox* CheckBox3 = nullptr;  // Schedule Backup
  QCheckBox* CheckBox4 = nullptr;  // Fast Backup
  // "Make".
  QCheckBox* CheckBox5 = nullptr;              // Bin Size Auto-detected
  QGroupBox* GroupBox4 = nullptr;              // Bin Size
  std::array<QRadioButton*, 4> SizeButtons{};  // RadioButton1..4: 1, 2, 4, 8 M Bits
  QFrame* StatusBar1 = nullptr;

 public slots:
  void Button1Click();
  void Button2Click();
  void CheckBox5Click();
  void StringGrid1DblClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The window's own status bar.
  class BarPanels final : public px::StatusPanels {
   public:
    void SetText(int panel, std::string_view text) override;
    QString Text(int panel) const;
    std::array<QLabel*, 4> labels{};
  };

  void CreateGrid();
  void CreateSettingPage(QWidget* page);
  void CreateMakePage(QWidget* page);
  void CreateStatusBar();
  void CreateDialogs();
  void RefreshGrid();
  // The image of the table and the settings becomes the program's firmware
  // image; a refused build says why and keeps the previous one.
  bool BuildImage();
  void HideEditors();
  void CellSelected(int row, int column);
  void CodeTypeEntered();
  void UpdateFlagChosen(int item);
  bool GridKey(int key, const QString& text);

  px::FirmwareState& firmware_;
  px::Messages& messages_;
  BarPanels panels_;
  px::SubCodeTable table_;
  px::ImageSettings settings_;
  std::mt19937 fill_;
  ChooseSubCodes chooseSubCodes_;
  ChooseImagePath chooseSavePath_;
  // The cell an editor is open over.
  int editRow_ = -1;
};

}  // namespace px::app
