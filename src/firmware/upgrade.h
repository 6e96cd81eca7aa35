#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/sleep_inhibitor.h"
#include "common/ui.h"
#include "device/channel.h"
#include "device/session.h"
#include "firmware/firmware_state.h"
#include "firmware/firmware_view.h"
#include "firmware/spi_flash.h"
#include "raid/records.h"

namespace px {

// The range the upgrade erases, programs and reads back, from address 0.
inline constexpr uint32_t kFlashSize = 61440;
// The progress bar's maximum: both page passes, the erase steps and a margin
// that a full run never reaches (it ends at 975).
inline constexpr uint32_t kUpgradeProgressMaximum =
    kFlashSize / kSpiPageSize * 2 + kFlashSize / kSpiEraseSize + 30;

// Why an upgrade would turn `image` away before anything is erased (it must
// fill the flash range), or nullopt when it would be written.
std::optional<std::string> UpgradeRefusal(std::span<const uint8_t> image);

// Everything firmware work touches; all of it is owned elsewhere.
struct FirmwareDeps {
  CommandChannel& channel;
  AppFlags& flags;
  DeviceTable& devices;
  const RecordTables& records;
  FirmwareState& state;
  StatusPanels& panels;
  Messages& messages;
  FirmwareView& view;
  // Held from before the erase until the verify has ended.
  SleepInhibitor& sleepInhibitor;
};

// The file dialog of "Load Firmware ": the chosen path, or nullopt when the
// user cancels.
using ChooseFirmwareFile = std::function<std::optional<std::filesystem::path>()>;

// The main window's "Firmware Upgrade" group: "Load Firmware " (BitBtn1),
// "Start Upgrade" (Button2) and the four-stage upgrade. The chooser position
// is UpDown1's position (0 in practice: the chooser is never shown).
// Runs on the window's thread.
class FirmwareGroup {
 public:
  explicit FirmwareGroup(const FirmwareDeps& deps);

  // Does nothing while a firmware operation runs; otherwise holds the
  // firmware bracket while the dialog is open and loads the chosen file.
  void LoadFirmwareClick(int16_t chooserPosition, const ChooseFirmwareFile& choose);
  // Does nothing while a firmware operation runs; without an image it says
  // "Please Load Firmware File First "; otherwise upgrades the device the
  // chooser shows.
  void StartUpgradeClick(int16_t chooserPosition);
  // Erase, program and verify the first 61440 bytes of the image on the
  // device at UpgradeSlot, ending with one message box. Expects the firmware
  // bracket to be held and ends it on every path; the image stays loaded.
  void RunFirmwareUpgrade();
  // Reads the flash range of the device the chooser shows, as the verify
  // stage reads it (nine attempts a page, ReadSPI's texts in the message
  // panel), under the firmware bracket: the bytes of a backup. Nothing while
  // a firmware operation runs, or when a page could not be read.
  std::optional<std::vector<uint8_t>> ReadFlashBackup(int16_t chooserPosition);

  SpiFlash& spi() { return spi_; }

 private:
  // Remembers the message panel's last text: a failed upgrade's box repeats
  // it.
  class TrackedPanels final : public StatusPanels {
   public:
    explicit TrackedPanels(StatusPanels& panels) : panels_(panels) {}
    void SetText(int panel, std::string_view text) override;
    const std::string& message() const { return message_; }

   private:
    StatusPanels& panels_;
    std::string message_;
  };

  bool RunStages();
  void Report(std::string_view text) { panels_.SetText(StatusPanels::kMessagePanel, text); }
  void ShowProgress() { deps_.view.SetProgressPosition(deps_.state.UpgradeProgress); }

  FirmwareDeps deps_;
  TrackedPanels panels_;
  SpiFlash spi_;
};

}  // namespace px
