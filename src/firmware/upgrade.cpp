#include "firmware/upgrade.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "firmware/firmware_file.h"

namespace px {
namespace {

// The firmware bracket ends on every way out, the exceptional ones included,
// so a failed upgrade never leaves the window refusing to close.
class EndOnExit {
 public:
  EndOnExit(AppFlags& flags, DeviceTable& devices) : flags_(flags), devices_(devices) {}
  ~EndOnExit() { EndFirmwareOperation(flags_, devices_); }
  EndOnExit(const EndOnExit&) = delete;
  EndOnExit& operator=(const EndOnExit&) = delete;

 private:
  AppFlags& flags_;
  DeviceTable& devices_;
};

constexpr char kCompleted[] =
    "Firmware Upgrade 4/4 completed!\n"
    "\nPlease power off this device or the system,"
    "\nand power on it to enable the new firmware!";

// The identity record of slot's drive; an all-zero record (no product
// check) when the slot is no valid entry.
std::span<const uint8_t, kSectorSize> ChosenConfig(const FirmwareDeps& deps, int slot) {
  static constexpr Record kNone{};
  if (slot < 0 || static_cast<std::size_t>(slot) >= kDeviceSlots) return kNone;
  const uint32_t drive = DriveOf(deps.devices.DeviceSlot[static_cast<std::size_t>(slot)]);
  if (drive >= kPhysicalDrives) return kNone;
  return deps.records.ConfigRecord[drive];
}

// A negative slot becomes one no device has, as the chooser's signed
// position always did.
uint32_t SlotNumber(int slot) {
  return static_cast<uint32_t>(slot);
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

void FirmwareWork::LoadImage(int slot, const ChooseFirmwareFile& choose) {
  if (deps_.flags.firmwareBusy) return;
  BeginFirmwareOperation(deps_.flags);
  const EndOnExit end(deps_.flags, deps_.devices);
  if (const std::optional<std::filesystem::path> path = choose()) {
    LoadFirmwareFile(*path, ChosenConfig(deps_, slot), deps_.state, panels_, deps_.messages);
  }
}

std::optional<std::vector<uint8_t>> FirmwareWork::ReadFlashBackup(int slot) {
  if (deps_.flags.firmwareBusy) return std::nullopt;
  BeginFirmwareOperation(deps_.flags);
  const EndOnExit end(deps_.flags, deps_.devices);
  deps_.devices.UpgradeSlot = SlotNumber(slot);
  deps_.state.UpgradeProgress = 0;
  std::vector<uint8_t> backup(kFlashSize);
  if (!spi_.ReadSPI(FlashTargetOf(deps_.devices, slot), 0, kFlashSize, backup)) {
    return std::nullopt;
  }
  return backup;
}

void FirmwareWork::Upgrade(int slot, std::span<const uint8_t> image, UpgradeProgress& progress) {
  if (deps_.flags.firmwareBusy) return;
  BeginFirmwareOperation(deps_.flags);
  const EndOnExit end(deps_.flags, deps_.devices);
  if (image.empty()) {
    deps_.messages.Show("Message", "Please Load Firmware File First ", MessageIcon::None);
    return;
  }
  deps_.devices.UpgradeSlot = SlotNumber(slot);
  deps_.state.UpgradeProgress = 0;
  progress.Started(kUpgradeProgressMaximum);
  progress.StageBegins(1);
  const bool upgraded = RunStages(FlashTargetOf(deps_.devices, slot), image, progress);
  progress.Finished();
  if (upgraded) {
    deps_.messages.Show("Firmware Upgrade Message", kCompleted, MessageIcon::Exclamation);
  } else {
    deps_.messages.Show("Message", panels_.message(), MessageIcon::None);
  }
}

bool FirmwareWork::RunStages(const FlashTarget& target, std::span<const uint8_t> image,
                             UpgradeProgress& progress) {
  const auto stageEnds = [&] { progress.StepsDone(deps_.state.UpgradeProgress); };

  // Stage 1 sends nothing to the device. It is where an image too short to
  // fill the flash range is turned away, before anything is erased.
  stageEnds();
  if (const std::optional<std::string> refusal = UpgradeRefusal(image)) {
    Report("SPI test Fail. " + *refusal);
    return false;
  }
  // The enclosure is kept from every other program from before the erase to
  // after the verify: another program's knock between two pages would leave
  // a half-written flash. Refused, nothing has been touched yet.
  std::optional<CommandChannel::DriveHold> hold;
  if (target.drive) {
    hold.emplace(deps_.channel.HoldDrive(*target.drive, ClaimPurpose::Firmware));
    if (!*hold) {
      Report("SPI test Fail. " + (hold->refusal() == LockRefusal::DriveBusy
                                      ? deps_.channel.DriveBusyText(*target.drive)
                                      : std::string("The program is closing.")));
      return false;
    }
  }
  Report("SPI test OK");
  progress.StageBegins(2);

  // Sleep between the first erase and the last byte compared can leave a
  // controller that never boots again. The final box waits for the user and
  // tells them to power off, so the hold ends before it.
  const KeepAwake awake(deps_.sleepInhibitor, "Firmware upgrade in progress");

  const bool erased = spi_.EraseSPI(target, 0, kFlashSize);
  stageEnds();
  if (!erased) {
    Report("SPI Erase Fail.");
    return false;
  }
  Report("SPI Erase OK");
  progress.StageBegins(3);

  const bool programmed = spi_.WriteSPI(target, 0, kFlashSize, image);
  stageEnds();
  if (!programmed) {
    Report("SPI Program Fail.");
    return false;
  }
  Report("SPI Program OK");
  std::vector<uint8_t> verify(kFlashSize);
  progress.StageBegins(4);

  // A failed read leaves ReadSPI's own text, which names the address.
  const bool read = spi_.ReadSPI(target, 0, kFlashSize, verify);
  stageEnds();
  if (!read) return false;
  if (!std::equal(verify.begin(), verify.end(), image.begin())) {
    Report("SPI Verify fail !!!");
    return false;
  }
  Report("SPI Verify OK");
  return true;
}

}  // namespace px
