// The "Firmware Upgrade" group: the window's side of loading a file and of
// the four-stage upgrade.

#include "app/form1_main.h"
#include "app/qt_text.h"

namespace px::app {

void TForm1::FirmwareClick(std::function<void()> action) {
  // While firmware work runs the firmware buttons do nothing, now or later:
  // a click kept for afterwards would start a second upgrade just when the
  // user has been told to power the device off. A click that waits for a
  // poll to end is served once, however often it came.
  if (core_->flags.firmwareBusy.load() || firmwareClickWaiting_) return;
  firmwareClickWaiting_ = true;
  WhenDeviceIdle([this, action = std::move(action)] {
    firmwareClickWaiting_ = false;
    action();
  });
}

void TForm1::BitBtn1Click() {
  FirmwareClick([this] {
    const px::ChooseFirmwareFile choose =
        services_.chooseFirmwareFile
            ? services_.chooseFirmwareFile
            : px::ChooseFirmwareFile([this]() -> std::optional<std::filesystem::path> {
                if (OpenDialog1->exec() != QDialog::Accepted ||
                    OpenDialog1->selectedFiles().isEmpty())
                  return std::nullopt;
                return std::filesystem::path(
                    OpenDialog1->selectedFiles().constFirst().toStdU16String());
              });
    core_->firmwareGroup.LoadFirmwareClick(static_cast<int16_t>(UpDown1->value()), choose);
  });
}

void TForm1::Button2Click() {
  // A click that arrives from inside a poll's message pump waits for the
  // poll; the upgrade must never knock the controller between its commands.
  FirmwareClick([this] {
    DeviceWork work(*this);
    core_->firmwareGroup.StartUpgradeClick(static_cast<int16_t>(UpDown1->value()));
  });
}

void TForm1::SetPanelCaption(std::string_view text) {
  Panel1->SetCaption(Q(text));
}

void TForm1::SetLabel(std::string_view text) {
  Label12->setText(Q(text));
}

void TForm1::SetProgressMaximum(uint32_t maximum) {
  ProgressBar1->setMaximum(static_cast<int>(maximum));
}

void TForm1::SetProgressPosition(uint32_t position) {
  ProgressBar1->setValue(static_cast<int>(position));
}

void TForm1::SetTimerEnabled(bool enabled) {
  if (enabled)
    Timer1->start();
  else
    Timer1->stop();
}

}  // namespace px::app
