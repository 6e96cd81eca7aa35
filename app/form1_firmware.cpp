// The "Firmware Upgrade" group: the window's side of loading a file and of
// the four-stage upgrade, run here or, while pxraidd owns the disks, by the
// service and shown here as if it were.

#include <string_view>

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
  if (core_->flags.firmwareBusy.load() || firmwareClickWaiting_ || serviceJob_) return;
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
    core_->firmwareWork.LoadImage(ChooserSlot(), choose);
  });
}

void TForm1::Button2Click() {
  // A click that arrives from inside a poll's message pump waits for the
  // poll; the upgrade must never knock the controller between its commands.
  FirmwareClick([this] {
    DeviceWork work(*this);
    const px::EnclosureSlot slot = ChooserSlot();
    const px::FirmwareState& firmware = core_->firmware;
    // Without an image, or with one too short for the flash, the upgrade
    // says so before it touches anything: there is nothing to ask about.
    if (firmware.FirmwareImage.empty() || px::UpgradeRefusal(firmware.FirmwareImage)) {
      core_->firmwareWork.Upgrade(slot, firmware.FirmwareImage, *this);
      return;
    }
    if (services_.polledElsewhere != nullptr && services_.firmwareJobs != nullptr) {
      StartServiceUpgrade(slot);
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

namespace {

// What a job's pxraid prints that is no text of the message panel: its
// progress lines ("Process 2 / 4: 25%, block 4 of 15"), the progress panel's
// label, and the final box's lines, which the window shows as its box.
bool PanelLine(std::string_view line) {
  if (line.empty() || line == px::kUpgradeLabel) return false;
  const std::string_view caption = line.substr(0, line.find(':'));
  if (caption != line && (caption == "Backup" || px::StageOfCaption(caption))) return false;
  for (std::string_view rest = px::kUpgradeCompleted; !rest.empty();) {
    const std::size_t end = rest.find('\n');
    if (rest.substr(0, end) == line) return false;
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  return true;
}

// A complaint of pxraid's without the program's name, which a box of the
// window does not need.
std::string_view WithoutProgram(std::string_view line) {
  constexpr std::string_view kProgram = "pxraid: ";
  const std::size_t at = line.find(kProgram);
  return at != std::string_view::npos && at <= 3 ? line.substr(at + kProgram.size()) : line;
}

}  // namespace

void TForm1::StartServiceUpgrade(px::EnclosureSlot slot) {
  const px::FirmwareState& firmware = core_->firmware;
  const std::optional<px::PhysicalDrive> drive = px::FlashTargetOf(core_->devices, slot).drive;
  if (!drive) {
    messages_->Show("Message",
                    "There is no enclosure at device " + std::to_string(slot.index() + 1) + ".",
                    px::MessageIcon::None);
    return;
  }
  px::FirmwareJobRequest request;
  request.drive = *drive;
  request.bytes = firmware.FirmwareImage;
  request.name = firmware.ImageFile.string();
  if (const std::optional<std::string> why = services_.firmwareJobs->Start(request)) {
    messages_->Show("Message", "The firmware upgrade could not be asked of pxraidd: " + *why + ".",
                    px::MessageIcon::None);
    return;
  }
  serviceJob_.emplace();
  serviceJob_->slot = slot;
  SetFirmwareButtonsEnabled(firmwareButtonsWanted_);
  jobTimer_->start();
}

void TForm1::FollowServiceJob() {
  if (!serviceJob_) {
    jobTimer_->stop();
    return;
  }
  for (const px::FirmwareJobNews& news : services_.firmwareJobs->Process()) {
    if (!serviceJob_) break;
    switch (news.type) {
      case px::FirmwareJobNews::Type::Started:
        break;
      case px::FirmwareJobNews::Type::Refused:
        ServiceJobRefused(news);
        break;
      case px::FirmwareJobNews::Type::Stage:
        if (news.text == "Backup") {
          if (!serviceJob_->backupTold) {
            panels_.SetText(px::StatusPanels::kMessagePanel, "Backing up the flash...");
            serviceJob_->backupTold = true;
          }
        } else if (const std::optional<int> stage = px::StageOfCaption(news.text)) {
          if (serviceJob_->stage == 0) {
            core_->firmware.UpgradeProgress = 0;
            Started(px::kUpgradeProgressMaximum);
          }
          if (*stage != serviceJob_->stage) StageBegins(*stage);
          serviceJob_->stage = *stage;
          const uint32_t steps = px::UpgradeStepsAt(*stage, news.percent);
          core_->firmware.UpgradeProgress = steps;
          StepsDone(steps);
        }
        break;
      case px::FirmwareJobNews::Type::Asked:
        ServiceJobAsked(news.text);
        break;
      case px::FirmwareJobNews::Type::Said:
        ServiceJobSaid(news);
        break;
      case px::FirmwareJobNews::Type::Ended:
        ServiceJobEnded(news.exitCode);
        break;
    }
  }
}

void TForm1::ServiceJobSaid(const px::FirmwareJobNews& news) {
  ServiceJob& job = *serviceJob_;
  // Before the question the job loads the file, as the window did already.
  if (!job.answered) return;
  if (news.stream == "stderr") {
    job.complaints.emplace_back(WithoutProgram(news.text));
    return;
  }
  if (news.text == px::kUpgradeLabel && job.stage == 0) {
    // Stage 1 draws no progress line: the label is its start.
    core_->firmware.UpgradeProgress = 0;
    Started(px::kUpgradeProgressMaximum);
    StageBegins(1);
    job.stage = 1;
    return;
  }
  if (PanelLine(news.text)) panels_.SetText(px::StatusPanels::kMessagePanel, news.text);
}

void TForm1::ServiceJobAsked(const std::string& question) {
  // The window's own words where it asks the same itself.
  std::string text = question;
  if (question == px::kGoOnWithoutBackup) {
    text = std::string(px::kFlashReadsErased) + "\n" + px::kGoOnWithoutBackup;
  } else if (question.starts_with("Erase and reprogram the flash of ")) {
    text = px::FlashQuestion(*core_, serviceJob_->slot, px::FlashKind::Upgrade,
                             core_->firmware.FirmwareImage, core_->firmware.ImageFile);
  }
  // The box waits for the user; the job waits for the answer meanwhile.
  jobTimer_->stop();
  const bool yes = messages_->Ask(kUpgradeQuestionTitle, text);
  if (!serviceJob_) return;
  jobTimer_->start();
  serviceJob_->answered = true;
  serviceJob_->declined = !yes;
  serviceJob_->complaints.clear();
  services_.firmwareJobs->Answer(yes);
}

void TForm1::ServiceJobEnded(int exitCode) {
  const ServiceJob job = *serviceJob_;
  if (job.stage > 0) {
    Finished(px::UpgradeOutcome{job.stage, exitCode == 0, {}});
  }
  ServiceJobOver();
  // Declined, it changed nothing, and says nothing more than a No here does.
  if (job.declined) return;
  if (exitCode == 0) {
    messages_->Show(px::kUpgradeCompletedTitle, px::kUpgradeCompleted,
                    px::MessageIcon::Exclamation);
    return;
  }
  std::string text;
  for (const std::string& line : job.complaints) text += (text.empty() ? "" : "\n") + line;
  if (text.empty()) {
    text =
        "The firmware upgrade in pxraidd ended with exit status " + std::to_string(exitCode) + ".";
  }
  messages_->Show("Message", text, px::MessageIcon::None);
}

void TForm1::ServiceJobRefused(const px::FirmwareJobNews& news) {
  ServiceJobOver();
  messages_->Show("Message", "pxraidd refused the firmware upgrade: " + news.text + ".",
                  px::MessageIcon::None);
}

void TForm1::ServiceJobOver() {
  jobTimer_->stop();
  serviceJob_.reset();
  SetFirmwareButtonsEnabled(firmwareButtonsWanted_);
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
