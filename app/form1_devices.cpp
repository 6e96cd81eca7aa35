// Device selection: the 500 ms drive poll that hands detections over and lays
// out their results, the selected device's texts, and the device boxes.

#include "app/form1_main.h"
#include "app/platform/disk_permission.h"
#include "app/qt_text.h"
#include "raid/device_text.h"

namespace px::app {

namespace {

constexpr char kNoDriveFound[] = "No Drive found! ";

}  // namespace

std::vector<px::VolumeLetter> TForm1::VolumeLetters() const {
  std::lock_guard lock(core_->detection.volumesMutex);
  std::vector<px::VolumeLetter> letters;
  for (const px::VolumeEntry& entry : core_->detection.VolumeTable)
    letters.push_back({entry.Letter, entry.DriveType, entry.DiskNumber});
  return letters;
}

void TForm1::Timer4Timer() {
  const px::WatchStep step = session_->Tick(Monitoring());
  if (step.kind == px::WatchStep::Kind::Detected) {
    // What the probe found choosable, before the layout's own count: every
    // drive while the first page is in front, else the enclosures.
    const px::DetectionState& detection = core_->detection;
    SetChooserMaximum(static_cast<int>(activePage_ == 0 ? detection.PhysicalDriveCount.load()
                                                        : core_->devices.DeviceCount.load()) -
                      1);
    LayOutDetectedDevices(*step.detected);
  } else if (step.kind == px::WatchStep::Kind::Detecting) {
    // The first detection blinks its caption.
    if (StaticText1->text() == QLatin1String(kDriveDetecting)) {
      StaticText1->setVisible(!BlinkState_);
      BlinkState_ = !BlinkState_;
    }
  }
}

void TForm1::LayOutDetectedDevices(const px::Detected& detected) {
  px::DeviceTable& devices = core_->devices;
  const uint32_t count = detected.found.enclosures;
  const bool monitoring = Monitoring();
  const auto hint = [&](std::size_t slot) {
    return QStringLiteral("HD%1").arg(devices.Drive(px::EnclosureSlot{slot}).number());
  };

  SetChooserMaximum(static_cast<int>(count) - 1);
  UpDown1->hide();
  for (int page = 0; page < PageControl1->count(); ++page) SetTabVisible(page, false);

  if (count > 0) {
    DeviceBoxes[0]->show();
    DeviceBoxes[0]->setToolTip(hint(0));
    PageControl1->setTabText(0, QStringLiteral("Device1"));
    SetTabVisible(0, true);
    RefreshDeviceLine();
    const uint32_t selected = devices.DeviceSlot[selectedSlot_.index()];
    if (px::CanTakeFirmware(selected) && !monitoring) {
      BitBtn1->setEnabled(true);
      Button10->setEnabled(true);
      Button2->setEnabled(true);
      Button1->show();
    } else if (monitoring) {
      Timer7->stop();
      Timer2->start();
      BitBtn1->setEnabled(false);
      Button10->setEnabled(false);
      Button2->setEnabled(false);
      Button11->setEnabled(true);
    }
    if (detected.redetected) {
      StartTime_ = QDateTime::currentDateTime();
      StaticText2->setText(Q("GUI start Time : " + Now()));
    }
    StaticText4->hide();
    Timer3->start();
  } else {
    DeviceBoxes[0]->hide();
    Button10->setEnabled(false);
    Button11->setEnabled(false);
    BitBtn1->setEnabled(false);
    Button2->setEnabled(false);
    DeviceText_ = kNoDriveFound;
    Label4->setText(Q(kNoDriveFound));
    CheckBox2->hide();
    Timer3->stop();
    UpDown1->hide();
    // With no device left there is no poll to notice what went.
    EnclosuresChanged(core_->Observe(0));
    // Disks that exist but refuse us look exactly like no disks at all; a
    // client of the service that owns them needs no such advice.
    if (!permissionAdviceShown_ && services_.polledElsewhere == nullptr) {
      const std::string advice = DiskPermissionAdvice(*services_.transport);
      if (!advice.empty()) {
        panels_.SetText(px::StatusPanels::kMessagePanel, advice);
        permissionAdviceShown_ = true;
      }
    }
  }

  StaticText1->setText(Q(DeviceText_));
  StaticText1->show();

  for (std::size_t n = 2; n <= DeviceBoxes.size(); ++n) {
    QCheckBox* box = DeviceBoxes[n - 1];
    if (count >= n) {
      box->show();
      if (n == 2) UpDown1->hide();
      PageControl1->setTabText(static_cast<int>(n - 1), QStringLiteral("Device%1").arg(n));
      box->setToolTip(hint(n - 1));
      SetTabVisible(static_cast<int>(n - 1), true);
    } else {
      box->hide();
    }
  }
  UpdateActivePage();

  if (count > 0) {
    ShowDeviceInfo();
    RaiseRequest(px::kPollStatus);
  }
  // Also with no enclosure found: a controller whose flash was left half
  // written may no longer answer at all.
  TellCutShortRuns();
}

void TForm1::RefreshDeviceLine() {
  const std::vector<px::VolumeLetter> letters = VolumeLetters();
  const px::DeviceLine line = px::BuildDeviceText(core_->devices, selectedSlot_, letters,
                                                  core_->detection.LetterCount.load());
  LettersText_ = line.LettersText;
  DeviceText_ = line.DeviceText;
}

void TForm1::SetTabVisible(int page, bool visible) {
  // Pages shown and hidden by code are no page change of the user's: the
  // handler runs for clicks only, and the callers refresh what they need.
  const QSignalBlocker quiet(PageControl1);
  PageControl1->setTabVisible(page, visible);
}

void TForm1::UpdateActivePage() {
  const int current = PageControl1->currentIndex();
  activePage_ = current >= 0 && PageControl1->isTabVisible(current) ? current : -1;
}

px::ControlTarget TForm1::ActiveTarget() const {
  if (activePage_ < 0) return std::nullopt;
  return px::EnclosureSlot{static_cast<std::size_t>(activePage_)};
}

void TForm1::ShowDeviceInfo() {
  UpdateActivePage();
  const px::ControlTarget active = ActiveTarget();
  if (!active) return;
  selectedSlot_ = *active;
  const std::vector<px::VolumeLetter> letters = VolumeLetters();
  const px::DeviceInfo info =
      px::BuildDeviceInfo(core_->devices, core_->records, selectedSlot_, letters,
                          core_->detection.LetterCount.load(), BaseCaption_);
  LettersText_ = info.line.LettersText;
  DeviceText_ = info.line.DeviceText;
  StaticText1->setText(Q(DeviceText_));
  StaticText1->setToolTip(Q(info.physicalHint));
  SetFirmwareButtonsEnabled(info.firmwareEnabled);
  FirmwareText_ = info.firmwareText;
  CheckBox7->hide();
  CheckBox6->setVisible(info.buzzerMuteVisible);
  DeviceName_ = info.deviceName;
  setWindowTitle(Q(info.caption));
}

void TForm1::DeviceCheckBoxClick(int device) {
  if (device < 0 || device >= static_cast<int>(DeviceBoxes.size())) return;
  const auto slot = static_cast<std::size_t>(device);
  if (DeviceBoxes[slot]->isChecked()) {
    SetTabVisible(device, true);
    if (core_->monitor.MonitorRequests.load() & px::kMonitoringActive) {
      core_->monitor.MonitorRequests = px::kMonitoringActive | px::kPollStatus;
      SetMonitorButtons(true);
      Timer7->stop();
      Timer2->start();
    } else {
      Button10->setEnabled(true);
      SetFirmwareButtonsEnabled(true);
      UpDown1->setEnabled(false);
      Button11->setEnabled(false);
    }
  } else {
    SetTabVisible(device, false);
    Timer6->start();
  }
  core_->enclosures[px::EnclosureSlot{slot}].retryCount = 0;
  ShowDeviceInfo();
  ShowStatus(true);
}

void TForm1::PageControl1Change() {
  ShowDeviceInfo();
  PageSwitching_ = true;
  ShowStatus(true);
  PageSwitching_ = false;
}

bool TForm1::Polled(px::EnclosureSlot slot) {
  return slot.index() < DeviceBoxes.size() && DeviceBoxes[slot.index()]->isChecked();
}

void TForm1::Dropped(px::EnclosureSlot slot) {
  if (slot.index() >= DeviceBoxes.size()) return;
  DeviceBoxes[slot.index()]->setChecked(false);
  DeviceCheckBoxClick(static_cast<int>(slot.index()));
}

void TForm1::SetChooserMaximum(int maximum) {
  // Position 0 is what the firmware work addresses whatever the count, so
  // the chooser never goes below it, not even with no device.
  UpDown1->setMaximum(std::max(0, maximum));
}

px::EnclosureSlot TForm1::ChooserSlot() const {
  // The chooser's minimum is 0: its position is never negative.
  return px::EnclosureSlot{static_cast<std::size_t>(UpDown1->value())};
}

void TForm1::DisableMonitorButtons() {
  Button10->setEnabled(false);
  Button11->setEnabled(false);
  SetFirmwareButtonsEnabled(false);
}

}  // namespace px::app
