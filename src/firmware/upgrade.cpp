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

// The identity record of the drive the chooser shows; an all-zero record
// (no product check) when the chooser points at no valid entry.
std::span<const uint8_t, kSectorSize> ChosenConfig(const FirmwareDeps& deps,
                                                   int16_t chooserPosition) {
  static constexpr Record kNone{};
  if (chooserPosition < 0 || static_cast<std::size_t>(chooserPosition) >= kDeviceSlots) {
    return kNone;
  }
  const uint32_t drive =
      DriveOf(deps.devices.DeviceSlot[static_cast<std::size_t>(chooserPosition)]);
  if (drive >= kPhysicalDrives) return kNone;
  return deps.records.ConfigRecord[drive];
}

}  // namespace

std::optional<std::string> UpgradeRefusal(std::span<const uint8_t> image) {
  if (image.size() >= kFlashSize) return std::nullopt;
  return "The firmware image has " + std::to_string(image.size()) + " bytes, " +
         std::to_string(kFlashSize) + " needed.";
}

void FirmwareGroup::TrackedPanels::SetText(int panel, std::string_view text) {
  if (panel == kMessagePanel) message_ = text;
  panels_.SetText(panel, text);
}

FirmwareGroup::FirmwareGroup(const FirmwareDeps& deps)
    : deps_(deps),
      panels_(deps.panels),
      spi_(deps.channel, deps.devices, panels_, deps.messages, deps.state.UpgradeProgress) {}

void FirmwareGroup::LoadFirmwareClick(int16_t chooserPosition, const ChooseFirmwareFile& choose) {
  if (deps_.flags.firmwareBusy) return;
  BeginFirmwareOperation(deps_.flags);
  const EndOnExit end(deps_.flags, deps_.devices);
  if (const std::optional<std::filesystem::path> path = choose()) {
    LoadFirmwareFile(*path, ChosenConfig(deps_, chooserPosition), deps_.state, panels_,
                     deps_.messages, deps_.view);
  }
}

void FirmwareGroup::StartUpgradeClick(int16_t chooserPosition) {
  if (deps_.flags.firmwareBusy) return;
  BeginFirmwareOperation(deps_.flags);
  if (deps_.state.FirmwareLength() == 0) {
    const EndOnExit end(deps_.flags, deps_.devices);
    deps_.messages.Show("Message", "Please Load Firmware File First ", MessageIcon::None);
    return;
  }
  // The position is a signed 16-bit value; a negative one becomes a slot no
  // device has.
  deps_.devices.UpgradeSlot = static_cast<uint32_t>(static_cast<int32_t>(chooserPosition));
  RunFirmwareUpgrade();
}

std::optional<std::vector<uint8_t>> FirmwareGroup::ReadFlashBackup(int16_t chooserPosition) {
  if (deps_.flags.firmwareBusy) return std::nullopt;
  BeginFirmwareOperation(deps_.flags);
  const EndOnExit end(deps_.flags, deps_.devices);
  deps_.devices.UpgradeSlot = static_cast<uint32_t>(static_cast<int32_t>(chooserPosition));
  deps_.state.UpgradeProgress = 0;
  std::vector<uint8_t> backup(kFlashSize);
  if (!spi_.ReadSPI(0, kFlashSize, backup)) return std::nullopt;
  return backup;
}

void FirmwareGroup::RunFirmwareUpgrade() {
  const EndOnExit end(deps_.flags, deps_.devices);
  FirmwareView& view = deps_.view;
  view.SetLabel("Firmware Update...");
  deps_.state.UpgradeProgress = 0;
  view.SetProgressMaximum(kUpgradeProgressMaximum);
  view.SetProgressPosition(0);
  view.SetPanelCaption("Process 1 / 4");
  view.SetPanelVisible(true);
  view.SetTimerEnabled(true);
  const bool upgraded = RunStages();
  view.SetTimerEnabled(false);
  view.SetPanelVisible(false);
  if (upgraded) {
    deps_.messages.Show("Firmware Upgrade Message", kCompleted, MessageIcon::Exclamation);
  } else {
    deps_.messages.Show("Message", panels_.message(), MessageIcon::None);
  }
}

bool FirmwareGroup::RunStages() {
  FirmwareView& view = deps_.view;
  const std::vector<uint8_t>& image = deps_.state.FirmwareImage;

  // Stage 1 sends nothing to the device. It is where an image too short to
  // fill the flash range is turned away, before anything is erased.
  ShowProgress();
  if (const std::optional<std::string> refusal = UpgradeRefusal(image)) {
    Report("SPI test Fail. " + *refusal);
    return false;
  }
  // The enclosure is kept from every other program from before the erase to
  // after the verify: another program's knock between two pages would leave
  // a half-written flash. Refused, nothing has been touched yet.
  std::optional<CommandChannel::DriveHold> hold;
  if (const std::optional<uint32_t> drive = spi_.TargetDrive()) {
    hold.emplace(deps_.channel.HoldDrive(*drive, ClaimPurpose::Firmware));
    if (!*hold) {
      Report("SPI test Fail. " + (hold->refusal() == LockRefusal::DriveBusy
                                      ? deps_.channel.DriveBusyText(*drive)
                                      : std::string("The program is closing.")));
      return false;
    }
  }
  Report("SPI test OK");
  view.SetPanelCaption("Process 2 / 4");

  // Sleep between the first erase and the last byte compared can leave a
  // controller that never boots again. The final box waits for the user and
  // tells them to power off, so the hold ends before it.
  const KeepAwake awake(deps_.sleepInhibitor, "Firmware upgrade in progress");

  const bool erased = spi_.EraseSPI(0, kFlashSize);
  ShowProgress();
  if (!erased) {
    Report("SPI Erase Fail.");
    return false;
  }
  Report("SPI Erase OK");
  view.SetPanelCaption("Process 3 / 4");

  const bool programmed = spi_.WriteSPI(0, kFlashSize, image);
  ShowProgress();
  if (!programmed) {
    Report("SPI Program Fail.");
    return false;
  }
  Report("SPI Program OK");
  std::vector<uint8_t> verify(kFlashSize);
  view.SetPanelCaption("Process 4 / 4");

  // A failed read leaves ReadSPI's own text, which names the address.
  const bool read = spi_.ReadSPI(0, kFlashSize, verify);
  ShowProgress();
  if (!read) return false;
  if (!std::equal(verify.begin(), verify.end(), image.begin())) {
    Report("SPI Verify fail !!!");
    return false;
  }
  Report("SPI Verify OK");
  return true;
}

}  // namespace px
