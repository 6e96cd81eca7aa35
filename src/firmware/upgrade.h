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
#include "firmware/spi_flash.h"
#include "firmware/upgrade_progress.h"
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
  // Held from before the erase until the verify has ended.
  SleepInhibitor& sleepInhibitor;
};

// The file dialog of "Load Firmware ": the chosen path, or nullopt when the
// user cancels.
using ChooseFirmwareFile = std::function<std::optional<std::filesystem::path>()>;

// Firmware work on an enclosure: loading an image for it, the four-stage
// upgrade, and reading its flash for a backup. Every operation holds the
// firmware bracket (FirmwareBusy, and the device-table slot it works on as
// UpgradeSlot, which detection and polls stay away from) and does nothing
// while another one holds it. `slot` is a device-table index, as the
// window's upgrade chooser gives it; one that names no enclosure is said so
// when the device would first be touched. Runs on the window's thread.
class FirmwareWork {
 public:
  explicit FirmwareWork(const FirmwareDeps& deps);

  // Loads the file `choose` picks (the window's open dialog), checked
  // against slot's enclosure; the dialog is open under the bracket.
  void LoadImage(int slot, const ChooseFirmwareFile& choose);
  // Erases, programs and verifies the first 61440 bytes of `image` on
  // slot's enclosure, showing its stages on `progress`, and ends with one
  // message box. Without an image it says "Please Load Firmware File First ".
  void Upgrade(int slot, std::span<const uint8_t> image, UpgradeProgress& progress);
  // Reads slot's flash range as the verify stage reads it (nine attempts a
  // page, ReadSPI's texts in the message panel): the bytes of a backup.
  // Nothing when a page could not be read.
  std::optional<std::vector<uint8_t>> ReadFlashBackup(int slot);

  SpiFlash& spi() { return spi_; }

 private:
  // Remembers the message panel's last text: a failed upgrade's box repeats
  // it.
  class TrackedPanels final : public StatusPanels {
   public:
    explicit TrackedPanels(StatusPanels& panels) : panels_(panels) {}
    void SetText(int panel, std::string_view text) override;
    void WidenMessagePanel() override { panels_.WidenMessagePanel(); }
    const std::string& message() const { return message_; }

   private:
    StatusPanels& panels_;
    std::string message_;
  };

  bool RunStages(const FlashTarget& target, std::span<const uint8_t> image,
                 UpgradeProgress& progress);
  void Report(std::string_view text) { panels_.SetText(StatusPanels::kMessagePanel, text); }

  FirmwareDeps deps_;
  TrackedPanels panels_;
  SpiFlash spi_;
};

}  // namespace px
