#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "core/core.h"
#include "firmware/flash_journal.h"
#include "firmware/upgrade.h"
#include "firmware/upgrade_progress.h"

namespace px {

// What both front ends say when a backup finds nothing to keep, and what
// they ask then.
inline constexpr char kFlashReadsErased[] =
    "The flash reads as erased: there is no firmware in it to back up.";
inline constexpr char kGoOnWithoutBackup[] = "Upgrade without a backup?";

// What the backup an upgrade makes first came to.
struct FlashBackupResult {
  enum class Outcome {
    Saved,    // in `path`
    Erased,   // the flash reads as erased; nothing was saved
    Unread,   // a page could not be read, or its reads never agreed; `reason` says where
    Unsaved,  // `path` could not be written; `reason` is the system's
  };
  Outcome outcome = Outcome::Unread;
  std::filesystem::path path;
  // Unread: the message panel's text, which names the address.
  std::string reason;
  // Unsaved: the system's reason.
  std::error_code error;
};

// "device 1 (PX RAID1 Dual Bay, drive 1, firmware 140318.5)": device-table
// slot `slot` as the firmware commands name it.
std::string FlashDescription(const Core& core, EnclosureSlot slot);

// What to ask before slot's flash is erased (FlashJob::Question): the
// window asks it in these words when pxraidd runs the upgrade for it too.
std::string FlashQuestion(const Core& core, EnclosureSlot slot, FlashKind kind,
                          std::span<const uint8_t> image, const std::filesystem::path& file);

// One upgrade or restore of an enclosure, as the window and pxraid both run
// it. For its whole life it holds the firmware bracket on its slot, so that
// nothing else of this program comes between its steps, and keeps the
// enclosure from the other programs: the backup is then of the flash the
// erase finds, and another program that finds the job's start line in the
// log while it runs cannot probe the enclosure either, and so does not take
// the line for a run cut short (CutShortWatch).
class FlashJob {
 public:
  FlashJob(Core& core, EnclosureSlot slot);
  FlashJob(const FlashJob&) = delete;
  FlashJob& operator=(const FlashJob&) = delete;

  // Why the job cannot go on: another firmware operation holds the bracket
  // (an empty text: there is nothing to tell), or another program holds the
  // enclosure ("Drive 1 is busy: another program is upgrading its
  // firmware."). Nothing when it can.
  const std::optional<std::string>& refusal() const { return refusal_; }

  std::string Description() const { return FlashDescription(core_, slot_); }
  // What to ask before anything is erased: the device, its firmware and
  // what is to be written, "the firmware 140902.5 of /x/fw.bin" (or of an
  // image built here, when `file` is empty) or "the backup /x/b.bin".
  std::string Question(FlashKind kind, std::span<const uint8_t> image,
                       const std::filesystem::path& file) const;

  // The flash as FirmwareWork::ReadFlashBackup reads it (two reads that
  // agree), or the message panel's words for why it could not be read.
  BackupOutcome ReadFlash();
  // ReadFlash, saved with its checksum file into the core's log folder,
  // named by FlashBackupName, with a number added rather than replace an
  // older backup of the same second.
  FlashBackupResult BackUp();

  // Erases, programs and verifies `image` (FirmwareWork::Upgrade, with its
  // final box), between a line in the day's log as it starts, naming
  // `file` and `backup`, and one when its stages have ended, before the
  // box. A restore is this upgrade of a backup's bytes, and comes out the
  // same way: the stage reached, whether the flash is now the backup, and
  // the panel's words (a refusal is stage 1's "SPI test Fail. ...").
  UpgradeOutcome Flash(FlashKind kind, std::span<const uint8_t> image,
                       const std::filesystem::path& file, const std::filesystem::path& backup,
                       UpgradeProgress& progress);

 private:
  void Log(const std::string& line);

  Core& core_;
  EnclosureSlot slot_;
  FirmwareWork::Bracket bracket_;
  std::optional<CommandChannel::DriveHold> hold_;
  std::optional<std::string> refusal_;
};

// Tells of each run cut short once in a program's life: the window and
// pxraid monitor look after each detection, the other commands once.
class CutShortWatch {
 public:
  // The notices (CutShortNotice) of the runs cut short in `directory` that
  // this watch has not told yet. None while the last detection left a
  // drive unprobed because another program held it: that program may be
  // flashing it, and its start line is then no sign of anything; the next
  // look after a detection that probed every drive tells.
  std::vector<std::string> Look(const Core& core, const std::filesystem::path& directory);

 private:
  std::vector<std::string> told_;
};

}  // namespace px
