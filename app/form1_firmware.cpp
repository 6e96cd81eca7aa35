// The "Firmware Upgrade" group: the window's side of loading a file and of
// the four-stage upgrade.

#include "app/form1_main.h"
#include "app/qt_text.h"
#include "common/text.h"
#include "core/flash_job.h"

namespace px::app {

namespace {

constexpr char kUpgradeQuestionTitle[] = "Start Upgrade";

}  // namespace

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
    const int slot = UpDown1->value();
    const px::FirmwareState& firmware = core_->firmware;
    // Without an image, or with one too short for the flash, the upgrade
    // says so before it touches anything: there is nothing to ask about.
    if (firmware.FirmwareImage.empty() || px::UpgradeRefusal(firmware.FirmwareImage)) {
      core_->firmwareWork.Upgrade(slot, firmware.FirmwareImage, *this);
      return;
    }
    // From the question to the last compare nothing else of this program
    // or of another reaches the enclosure.
    px::FlashJob job(*core_, slot);
    if (const std::optional<std::string>& refusal = job.refusal()) {
      if (!refusal->empty()) messages_->Show("Message", *refusal, px::MessageIcon::None);
      return;
    }
    if (!messages_->Ask(
            kUpgradeQuestionTitle,
            job.Question(px::FlashKind::Upgrade, firmware.FirmwareImage, firmware.ImageFile))) {
      return;
    }
    panels_.SetText(px::StatusPanels::kMessagePanel, "Backing up the flash...");
    const px::FlashBackupResult backup = job.BackUp();
    switch (backup.outcome) {
      case px::FlashBackupResult::Outcome::Saved:
        panels_.SetText(px::StatusPanels::kMessagePanel,
                        "Flash backed up to " + px::PathText(backup.path));
        break;
      case px::FlashBackupResult::Outcome::Erased:
        if (!messages_->Ask(kUpgradeQuestionTitle,
                            std::string(px::kFlashReadsErased) + "\n" + px::kGoOnWithoutBackup)) {
          return;
        }
        break;
      case px::FlashBackupResult::Outcome::Unread:
        messages_->Show("Message",
                        backup.reason + "\nThe flash could not be backed up; nothing was erased.",
                        px::MessageIcon::None);
        return;
      case px::FlashBackupResult::Outcome::Unsaved:
        messages_->Show("Message",
                        "The backup " + px::PathText(backup.path) + " could not be written (" +
                            backup.error.message() + ").\nNothing was erased.",
                        px::MessageIcon::None);
        return;
    }
    job.Flash(px::FlashKind::Upgrade, firmware.FirmwareImage, firmware.ImageFile, backup.path,
              *this);
  });
}

void TForm1::TellCutShortRuns() {
  for (const std::string& notice : cutShort_.Look(*core_, services_.logDirectory)) {
    messages_->Show("Message", notice, px::MessageIcon::Exclamation);
  }
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

void TForm1::Finished(const px::UpgradeOutcome& /*outcome*/) {
  Timer1->stop();
  Panel1->hide();
}

}  // namespace px::app
