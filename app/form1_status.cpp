// The RAID page and the settings controls: the window applies what the
// display and settings models decide.

#include "app/form1_main.h"
#include "app/qt_text.h"
#include "raid/settings_model.h"

namespace px::app {

namespace {

QColor ToQt(px::Colour colour) {
  switch (colour) {
    case px::Colour::Red:
      return Qt::red;
    case px::Colour::Blue:
      return Qt::blue;
    case px::Colour::Fuchsia:
      return QColor(0xFF, 0x00, 0xFF);
    case px::Colour::Black:
      break;
  }
  return Qt::black;
}

void SetTextColour(QLabel* label, px::Colour colour) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, ToQt(colour));
  label->setPalette(palette);
}

}  // namespace

void TForm1::ShowStatus(bool fullRefresh) {
  const px::Record& record =
      core_->records.Status(core_->enclosures.Drive(ActiveTarget().value_or(selectedSlot_)));
  const px::StatusView view =
      display_.ShowStatus(record,
                          {FirmwareText_, DeviceName_, core_->monitor.FirstDisplay.load(),
                           PageSwitching_, ShowCurrentLba_},
                          fullRefresh);

  StaticText5->setText(Q(view.firmwareText));
  if (view.result == 0) return;
  CheckBox6->setChecked(view.buzzerMuteChecked);
  if (view.scheduleBackupChecked) CheckBox2->setChecked(*view.scheduleBackupChecked);
  if (view.hideScheduleBackup) SetScheduleBackupVisible(false);
  Label4->setText(Q(view.deviceName));
  if (view.period) ApplyPeriodSelection(*view.period);
  if (view.periodText) StaticText9->setText(Q(*view.periodText));
  if (view.firstDisplayCleared) core_->monitor.FirstDisplay = false;

  Label17->setText(Q(view.mode));
  Label23->setText(Q(px::kDiskCaptions[0]));
  Label25->setText(Q(px::kDiskCaptions[1]));
  StaticText6->setText(Q(view.p0BadSector));
  StaticText7->setText(Q(view.p1BadSector));
  if (view.ports) {
    struct PortLabels {
      QLabel *state, *model, *serial, *capacity;
    };
    const std::array<PortLabels, 2> labels = {
        {{Label19, Label14, Label15, Label16}, {Label24, Label20, Label21, Label22}}};
    for (std::size_t i = 0; i < labels.size(); ++i) {
      const px::PortTexts& texts = (*view.ports)[i];
      SetTextColour(labels[i].state, texts.stateColour);
      labels[i].state->setText(Q(texts.state));
      if (texts.stateHint) labels[i].state->setToolTip(Q(*texts.stateHint));
      if (texts.enableState) labels[i].state->setEnabled(true);
      labels[i].model->setText(Q(texts.model));
      labels[i].serial->setText(Q(texts.serial));
      labels[i].capacity->setText(Q(texts.capacity));
    }
  }
  if (view.volumeCapacity) Label27->setText(Q(*view.volumeCapacity));

  SetTextColour(Label18, view.progressColour);
  if (view.progress) Label18->setText(Q(*view.progress));
  Label1->setText(Q(view.currentLba));
  if (view.showViewLog) Button1->show();
  if (view.hideScanButtons) {
    Button3->hide();
    Button4->hide();
  }
}

void TForm1::Timer5Timer() {
  const int page = activePage_;
  px::ControlEnablingInputs in;
  in.firstDisplay = core_->monitor.FirstDisplay.load();
  in.deviceCount = core_->devices.DeviceCount;
  in.pageSwitching = PageSwitching_;
  if (page >= 0 && static_cast<uint32_t>(page) < px::kShownDevices) {
    const px::EnclosureSlot slot{static_cast<std::size_t>(page)};
    in.busyCountdown = core_->enclosures[slot].busyCountdown;
    in.progressFlags =
        core_->records.Status(core_->enclosures.Drive(slot))[px::status::kProgressFlags];
  }
  const px::ControlEnabling enabling = px::Timer5Enabling(in);
  const auto apply = [](const std::optional<bool>& enable,
                        std::initializer_list<QWidget*> widgets) {
    if (!enable) return;
    for (QWidget* widget : widgets) widget->setEnabled(*enable);
  };
  apply(enabling.buzzerMute, {CheckBox6});
  apply(enabling.autoScan, {CheckBox7});
  apply(enabling.scheduleBackup, {CheckBox2});
  apply(enabling.periodControls, {ComboBox1, ComboBox2, StaticText9, Button5});
  apply(enabling.driveInitialize, {Button6});
  apply(enabling.scanButtons, {Button3, Button4});
  for (std::size_t i = 0; i < px::kShownDevices; ++i) {
    uint8_t& busy = core_->enclosures[px::EnclosureSlot{i}].busyCountdown;
    if (busy != 0) --busy;
  }
}

void TForm1::SetScheduleBackupVisible(bool visible) {
  for (QWidget* widget :
       std::initializer_list<QWidget*>{CheckBox2, ComboBox1, ComboBox2, Button5, StaticText9})
    widget->setVisible(visible);
}

void TForm1::ApplyPeriodSelection(const px::PeriodSelection& selection) {
  const QSignalBlocker blockUnit(ComboBox2);
  ComboBox2->setCurrentIndex(static_cast<int>(selection.unit));
  ComboBox1->clear();
  for (const std::string& value : selection.values) ComboBox1->addItem(Q(value));
  ComboBox1->setCurrentIndex(selection.valueIndex ? static_cast<int>(*selection.valueIndex) : -1);
}

px::ScheduleBackupState TForm1::ScheduleBackupControls() const {
  px::ScheduleBackupState controls;
  controls.checked = CheckBox2->isChecked();
  controls.unit = static_cast<px::PeriodUnit>(std::clamp(ComboBox2->currentIndex(), 0, 3));
  controls.valueText = ComboBox1->currentText().toStdString();
  return controls;
}

px::SettingsFill TForm1::ScheduleBackup() {
  px::SettingsFill fill = px::FillSettings(ScheduleBackupControls());
  if (fill.periodText) StaticText9->setText(Q(*fill.periodText));
  return fill;
}

std::optional<px::SettingsFill> TForm1::ChosenSettings() {
  if (PageSwitching_) return std::nullopt;
  return ScheduleBackup();
}

void TForm1::DisableSettingBoxes() {
  CheckBox6->setEnabled(false);
  CheckBox7->setEnabled(false);
}

void TForm1::CheckBox6Click() {
  if (!PageSwitching_) RaiseRequest(px::kWriteSettings);
}

void TForm1::CheckBox7Click() {
  if (!PageSwitching_) RaiseRequest(px::kWriteSettings);
}

void TForm1::CheckBox2Click() {
  if (PageSwitching_) return;
  const int page = std::max(activePage_, 0);
  const px::Record& record = core_->records.Status(core_->enclosures.Drive(
      px::EnclosureSlot{static_cast<std::size_t>(page) % px::kDeviceSlots}));
  const px::ScheduleBackupClickResult result =
      px::ScheduleBackupClick(CheckBox2->isChecked(), record, core_->monitor.FirstDisplay.load());
  if (result.period) ApplyPeriodSelection(*result.period);
  ComboBox1->setVisible(result.combosVisible);
  ComboBox2->setVisible(result.combosVisible);
  Button5->setVisible(result.setVisible);
  if (result.periodText) StaticText9->setText(Q(*result.periodText));
  if (result.periodTextVisible) StaticText9->setVisible(*result.periodTextVisible);
  if (result.raiseWriteSettings) RaiseRequest(px::kWriteSettings);
}

void TForm1::Button5Click() {
  RaiseRequest(px::kWriteSettings);
}

void TForm1::ComboBox2Change() {
  const px::PeriodSelection selection =
      px::SelectUnit(static_cast<px::PeriodUnit>(std::clamp(ComboBox2->currentIndex(), 0, 3)));
  ApplyPeriodSelection(selection);
  ComboBox1->setVisible(!selection.values.empty());
}

}  // namespace px::app
