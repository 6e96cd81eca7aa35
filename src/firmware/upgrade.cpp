#include "firmware/upgrade.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "firmware/firmware_file.h"

namespace px {
namespace {

// The identity record of slot's drive; an all-zero record (no product
// check) when the slot is no valid entry.
std::span<const uint8_t, kSectorSize> ChosenConfig(const FirmwareDeps& deps, EnclosureSlot slot) {
  static constexpr Record kNone{};
  if (slot.index() >= kDeviceSlots) return kNone;
  const PhysicalDrive drive = deps.devices.Drive(slot);
  if (!drive.InRange()) return kNone;
  return deps.records.Config(drive);
}

}  // namespace

std::optional<std::string> UpgradeRefusal(std::span<const uint8_t> image) {
  if (image.size() >= kFlashSize) return std::nullopt;
  return "The firmware image has " + std::to_string(image.size()) + " bytes, " +
         std::to_string(kFlashSize) + " needed.";
}

void FirmwareWork::TrackedPanels::SetText(int panel, std::string_view text) {
  if (panel == kMessagePanel) message_ = text;
  panels_.SetText(panel, text);
}

FirmwareWork::FirmwareWork(const FirmwareDeps& deps)
    : deps_(deps),
      panels_(deps.panels),
      spi_(deps.channel, panels_, deps.messages, deps.state.UpgradeProgress) {}

// The bracket ends on every way out, the exceptional ones included, so a
// failed upgrade never leaves the window refusing to close.
FirmwareWork::Bracket::~Bracket() {
  if (work_ != nullptr) EndFirmwareOperation(work_->deps_.flags, work_->deps_.devices);
}

FirmwareWork::Bracket FirmwareWork::Enter(std::optional<EnclosureSlot> slot) {
  if (deps_.flags.firmwareBusy) return Bracket(nullptr, EnclosureSlot{0});
  BeginFirmwareOperation(deps_.flags);
  if (slot) deps_.devices.SetUpgradeSlot(*slot);
  return Bracket(this, slot.value_or(EnclosureSlot{0}));
}

std::optional<std::string> FirmwareWork::Keep(const FlashTarget& target,
                                              std::optional<CommandChannel::DriveHold>& hold) {
  if (!target.drive) return std::nullopt;
  hold.emplace(deps_.channel.HoldDrive(*target.drive, ClaimPurpose::Firmware));
  if (*hold) return std::nullopt;
  return hold->refusal() == LockRefusal::DriveBusy ? deps_.channel.DriveBusyText(*target.drive)
                                                   : std::string("The program is closing.");
}

void FirmwareWork::LoadImage(EnclosureSlot slot, const ChooseFirmwareFile& choose) {
  const Bracket bracket = Enter(std::nullopt);
  if (!bracket) return;
  if (const std::optional<std::filesystem::path> path = choose()) {
    LoadFirmwareFile(*path, ChosenConfig(deps_, slot), deps_.state, panels_, deps_.messages);
  }
}

BackupOutcome FirmwareWork::ReadFlashBackup(EnclosureSlot slot) {
  const Bracket bracket = Enter(slot);
  if (!bracket) return {};
  return ReadBackup(slot);
}

BackupOutcome FirmwareWork::ReadFlashBackup(const Bracket& held) {
  if (!held) return {};
  return ReadBackup(held.slot());
}

BackupOutcome FirmwareWork::ReadBackup(EnclosureSlot slot) {
  deps_.state.UpgradeProgress = 0;
  const FlashTarget target = FlashTargetOf(deps_.devices, slot);
  // Each failure's words go to the message panel and into the outcome; a
  // failed read has put ReadSPI's own there.
  const auto fail = [&](std::optional<std::string> text) {
    if (text) Report(*text);
    return BackupOutcome{std::nullopt, panels_.message()};
  };
  std::optional<CommandChannel::DriveHold> hold;
  if (std::optional<std::string> refusal = Keep(target, hold)) return fail(std::move(refusal));
  std::vector<uint8_t> earlier(kFlashSize);
  std::vector<uint8_t> backup(kFlashSize);
  if (!spi_.ReadSPI(target, 0, kFlashSize, earlier) ||
      !spi_.ReadSPI(target, 0, kFlashSize, backup)) {
    return fail(std::nullopt);
  }
  // Two passes rather than two reads of each page in a row: a disturbance
  // that lasts a moment then hits one pass only.
  for (uint32_t at = 0; at < kFlashSize; at += kSpiPageSize) {
    const std::span<uint8_t> page = std::span(backup).subspan(at, kSpiPageSize);
    const std::span<uint8_t> before = std::span(earlier).subspan(at, kSpiPageSize);
    for (int reads = 2; !std::equal(page.begin(), page.end(), before.begin()); ++reads) {
      if (reads == kBackupReads) {
        return fail("Backup fail, no two reads agree, Address = " + HexUpper(at, 4));
      }
      std::copy(page.begin(), page.end(), before.begin());
      if (!spi_.ReadSPI(target, at, kSpiPageSize, page)) return fail(std::nullopt);
    }
  }
  return {std::move(backup), {}};
}

UpgradeOutcome FirmwareWork::Upgrade(EnclosureSlot slot, std::span<const uint8_t> image,
                                     UpgradeProgress& progress) {
  const Bracket bracket = Enter(slot);
  return bracket ? RunUpgrade(slot, image, progress) : UpgradeOutcome{};
}

UpgradeOutcome FirmwareWork::Upgrade(const Bracket& held, std::span<const uint8_t> image,
                                     UpgradeProgress& progress) {
  return held ? RunUpgrade(held.slot(), image, progress) : UpgradeOutcome{};
}

UpgradeOutcome FirmwareWork::RunUpgrade(EnclosureSlot slot, std::span<const uint8_t> image,
                                        UpgradeProgress& progress) {
  if (image.empty()) {
    constexpr char kNoImage[] = "Please Load Firmware File First ";
    deps_.messages.Show("Message", kNoImage, MessageIcon::None);
    return {0, false, kNoImage};
  }
  deps_.state.UpgradeProgress = 0;
  progress.Started(kUpgradeProgressMaximum);
  progress.StageBegins(1);
  const UpgradeOutcome outcome = RunStages(FlashTargetOf(deps_.devices, slot), image, progress);
  progress.Finished(outcome);
  if (outcome.verified) {
    deps_.messages.Show(kUpgradeCompletedTitle, kUpgradeCompleted, MessageIcon::Exclamation);
  } else {
    deps_.messages.Show("Message", outcome.message, MessageIcon::None);
  }
  return outcome;
}

UpgradeOutcome FirmwareWork::RunStages(const FlashTarget& target, std::span<const uint8_t> image,
                                       UpgradeProgress& progress) {
  const auto stageEnds = [&] { progress.StepsDone(deps_.state.UpgradeProgress); };
  UpgradeOutcome outcome{1, false, {}};
  // Each stage's word goes to the message panel and into the outcome.
  const auto say = [&](std::string text) {
    Report(text);
    outcome.message = std::move(text);
  };
  const auto begin = [&](int stage) {
    outcome.stage = stage;
    progress.StageBegins(stage);
  };

  // Stage 1 sends nothing to the device. It is where an image too short to
  // fill the flash range is turned away, before anything is erased.
  stageEnds();
  if (const std::optional<std::string> refusal = UpgradeRefusal(image)) {
    say("SPI test Fail. " + *refusal);
    return outcome;
  }
  // The enclosure is kept from every other program from before the erase to
  // after the verify: another program's knock between two pages would leave
  // a half-written flash. Refused, nothing has been touched yet.
  std::optional<CommandChannel::DriveHold> hold;
  if (const std::optional<std::string> refusal = Keep(target, hold)) {
    say("SPI test Fail. " + *refusal);
    return outcome;
  }
  say("SPI test OK");
  begin(2);

  // Sleep between the first erase and the last byte compared can leave a
  // controller that never boots again. The final box waits for the user and
  // tells them to power off, so the hold ends before it.
  const KeepAwake awake(deps_.sleepInhibitor, "Firmware upgrade in progress");

  const bool erased = spi_.EraseSPI(target, 0, kFlashSize);
  stageEnds();
  if (!erased) {
    say("SPI Erase Fail.");
    return outcome;
  }
  say("SPI Erase OK");
  begin(3);

  const bool programmed = spi_.WriteSPI(target, 0, kFlashSize, image);
  stageEnds();
  if (!programmed) {
    say("SPI Program Fail.");
    return outcome;
  }
  say("SPI Program OK");
  std::vector<uint8_t> verify(kFlashSize);
  begin(4);

  // A failed read leaves ReadSPI's own text, which names the address.
  const bool read = spi_.ReadSPI(target, 0, kFlashSize, verify);
  stageEnds();
  if (!read) {
    outcome.message = panels_.message();
    return outcome;
  }
  if (!std::equal(verify.begin(), verify.end(), image.begin())) {
    say("SPI Verify fail !!!");
    return outcome;
  }
  say("SPI Verify OK");
  outcome.verified = true;
  return outcome;
}

}  // namespace px
