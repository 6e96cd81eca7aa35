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
    core_->firmwareWork.LoadImage(UpDown1->value(), choose);
  });
}

void TForm1::Button2Click() {
  // A click that arrives from inside a poll's message pump waits for the
  // poll; the upgrade must never knock the controller between its commands.
  FirmwareClick([this] {
    DeviceWork work(*this);
    core_->firmwareWork.Upgrade(UpDown1->value(), core_->firmware.FirmwareImage, *this);
  });
}

void TForm1::Started(uint32_t maximum) {
  Label12->setText(QString::fromLatin1(px::kUpgradeLabel));
  ProgressBar1->setMaximum(static_cast<int>(maximum));
  ProgressBar1->setValue(0);
  Panel1->show();
  Timer1->start();
}

void TForm1::StageBegins(int stage) {
  Panel1->SetCaption(Q(px::StageCaption(stage)));
}

void TForm1::StepsDone(uint32_t steps) {
  ProgressBar1->setValue(static_cast<int>(steps));
}

void TForm1::Finished() {
  Timer1->stop();
  Panel1->hide();
}

}  // namespace px::app
