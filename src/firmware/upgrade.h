#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/sleep_inhibitor.h"
#include "common/ui.h"
#include "device/channel.h"
#include "firmware/firmware_state.h"
#include "firmware/spi_flash.h"
#include "firmware/upgrade_progress.h"
#include "raid/device_table.h"
#include "raid/records.h"

namespace px {

// The range the upgrade erases, programs and reads back, from address 0.
inline constexpr uint32_t kFlashSize = 61440;
// The progress bar's maximum: both page passes, the erase steps and a margin
// that a full run never reaches (it ends at 975).
inline constexpr uint32_t kUpgradeProgressMaximum =
    kFlashSize / kSpiPageSize * 2 + kFlashSize / kSpiEraseSize + 30;

// The box that ends an upgrade whose flash reads back as the image: the
// window's after its own upgrade and after one pxraidd ran for it.
inline constexpr char kUpgradeCompletedTitle[] = "Firmware Upgrade Message";
inline constexpr char kUpgradeCompleted[] =
    "Firmware Upgrade 4/4 completed!\n"
    "\nPlease power off this device or the system,"
    "\nand power on it to enable the new firmware!";

// The step counter (FirmwareState::UpgradeProgress) when stage `stage` (2
// erase, 3 program, 4 verify) is `percent` done: what a front end that only
// hears the stage and its percent (a job of pxraidd) shows on the bar. A
// whole run ends at 975, as a direct one does.
inline uint32_t UpgradeStepsAt(int stage, uint32_t percent) {
  constexpr uint32_t kErase = kFlashSize / kSpiEraseSize;
  constexpr uint32_t kPages = kFlashSize / kSpiPageSize;
  const uint32_t part = percent > 100 ? 100 : percent;
  switch (stage) {
    case 2:
      return kErase * part / 100;
    case 3:
      return kErase + kPages * part / 100;
    case 4:
      return kErase + kPages + kPages * part / 100;
    default:
      return 0;
  }
}

// A backup reads each page until two reads in a row agree, at most this
// often: one bit flipped on the way then costs a read or two, and a page
// whose reads never settle fails the backup rather than go into it.
inline constexpr int kBackupReads = 5;

// How a backup read came out: the flash range when every page was read and
// two reads of each agreed, else nothing; and then the words the message
// panel showed for why (ReadSPI's own text, which names the address; "Backup
// fail, no two reads agree, Address = 3200"; why the enclosure could not be
// kept from other programs), which the front ends repeat. Empty when the
// bytes are there, and when other firmware work held the bracket (nothing
// was said).
struct BackupOutcome {
  std::optional<std::vector<uint8_t>> bytes;
  std::string message;
};

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
// while another one holds it. `slot` is the one the window's upgrade
// chooser shows; one that names no enclosure is said so when the device
// would first be touched. Runs on the window's thread.
class FirmwareWork {
 public:
  explicit FirmwareWork(const FirmwareDeps& deps);

  // The firmware bracket on slot for work made of several operations (the
  // backup and the upgrade of one job, with the questions between them),
  // so that nothing that stays away from firmware work (a detection, a
  // poll, a firmware button) comes between them. The operations that take
  // it run inside it; the others still refuse while it is held. False when
  // another operation holds the bracket.
  class Bracket {
   public:
    Bracket(Bracket&& other) noexcept
        : work_(std::exchange(other.work_, nullptr)), slot_(other.slot_) {}
    Bracket& operator=(Bracket&&) = delete;
    Bracket(const Bracket&) = delete;
    Bracket& operator=(const Bracket&) = delete;
    ~Bracket();
    explicit operator bool() const { return work_ != nullptr; }
    EnclosureSlot slot() const { return slot_; }

   private:
    friend class FirmwareWork;
    Bracket(FirmwareWork* work, EnclosureSlot slot) : work_(work), slot_(slot) {}
    FirmwareWork* work_;
    EnclosureSlot slot_;
  };
  Bracket Hold(EnclosureSlot slot) { return Enter(slot); }

  // Loads the file `choose` picks (the window's open dialog), checked
  // against slot's enclosure; the dialog is open under the bracket.
  void LoadImage(EnclosureSlot slot, const ChooseFirmwareFile& choose);
  // Erases, programs and verifies the first 61440 bytes of `image` on
  // slot's enclosure, showing its stages on `progress`, and ends with one
  // message box. Without an image it says "Please Load Firmware File First ".
  UpgradeOutcome Upgrade(EnclosureSlot slot, std::span<const uint8_t> image,
                         UpgradeProgress& progress);
  UpgradeOutcome Upgrade(const Bracket& held, std::span<const uint8_t> image,
                         UpgradeProgress& progress);
  // Reads slot's flash range as the verify stage reads it (nine attempts a
  // page, ReadSPI's texts in the message panel), twice, and reads again
  // each page whose two reads differ until two reads in a row agree: the
  // bytes of a backup. The enclosure is kept from other programs meanwhile,
  // so the reads are of one flash. No bytes when a page could not be read,
  // or its reads did not agree within kBackupReads.
  BackupOutcome ReadFlashBackup(EnclosureSlot slot);
  BackupOutcome ReadFlashBackup(const Bracket& held);

  SpiFlash& spi() { return spi_; }

 private:
  // Remembers the message panel's last text: a range operation that failed
  // said why there, and the outcome carries it.
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

  // The bracket, and UpgradeSlot when a slot is given; see Bracket.
  Bracket Enter(std::optional<EnclosureSlot> slot);
  UpgradeOutcome RunUpgrade(EnclosureSlot slot, std::span<const uint8_t> image,
                            UpgradeProgress& progress);
  BackupOutcome ReadBackup(EnclosureSlot slot);
  // Keeps the target's drive from other programs into `hold`; else the
  // reason, in the words the message panel shows. Nothing to keep without a
  // drive: the range operations say why there is none.
  std::optional<std::string> Keep(const FlashTarget& target,
                                  std::optional<CommandChannel::DriveHold>& hold);
  UpgradeOutcome RunStages(const FlashTarget& target, std::span<const uint8_t> image,
                           UpgradeProgress& progress);
  void Report(std::string_view text) { panels_.SetText(StatusPanels::kMessagePanel, text); }

  FirmwareDeps deps_;
  TrackedPanels panels_;
  SpiFlash spi_;
};

}  // namespace px
