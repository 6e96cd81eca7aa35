#include "core/flash_job.h"

#include <algorithm>
#include <functional>
#include <system_error>
#include <utility>

#include "common/bytes.h"
#include "common/text.h"
#include "firmware/firmware_file.h"
#include "firmware/flash_backup.h"
#include "raid/device_text.h"

namespace px {

namespace fs = std::filesystem;

namespace {

// The front end's progress, and the end line written when the stages are
// over, before the final box: a user who leaves that box open and kills the
// program has a whole flash, and the log says so.
class EndLine final : public UpgradeProgress {
 public:
  EndLine(UpgradeProgress& inner, std::function<void(const UpgradeOutcome&)> ended)
      : inner_(inner), ended_(std::move(ended)) {}
  void Started(uint32_t maximum) override { inner_.Started(maximum); }
  void StageBegins(int stage) override { inner_.StageBegins(stage); }
  void StepsDone(uint32_t steps) override { inner_.StepsDone(steps); }
  void Finished(const UpgradeOutcome& outcome) override {
    inner_.Finished(outcome);
    ended_(outcome);
  }

 private:
  UpgradeProgress& inner_;
  std::function<void(const UpgradeOutcome&)> ended_;
};

std::optional<PhysicalDrive> DriveOfSlot(const Core& core, EnclosureSlot slot) {
  return FlashTargetOf(core.devices, slot).drive;
}

}  // namespace

FlashJob::FlashJob(Core& core, EnclosureSlot slot)
    : core_(core), slot_(slot), bracket_(core.firmwareWork.Hold(slot)) {
  if (!bracket_) {
    refusal_ = std::string();
    return;
  }
  if (const std::optional<PhysicalDrive> drive = DriveOfSlot(core_, slot_)) {
    hold_.emplace(core_.channel.HoldDrive(*drive, ClaimPurpose::Firmware));
    if (!*hold_) {
      refusal_ = hold_->refusal() == LockRefusal::DriveBusy ? core_.channel.DriveBusyText(*drive)
                                                            : std::string();
    }
  }
}

std::string FlashDescription(const Core& core, EnclosureSlot slot) {
  const std::optional<PhysicalDrive> drive = DriveOfSlot(core, slot);
  std::string text = "device " + std::to_string(slot.index() + 1);
  if (!drive) return text;
  const Record& config = core.records.Config(*drive);
  return text + " (" + TrimRightKeep(DeviceName(config), 0) + ", drive " +
         std::to_string(drive->number()) + ", firmware " + RevisionOf(config).text + ")";
}

std::string FlashJob::Question(FlashKind kind, std::span<const uint8_t> image,
                               const fs::path& file) const {
  return FlashQuestion(core_, slot_, kind, image, file);
}

std::string FlashQuestion(const Core& core, EnclosureSlot slot, FlashKind kind,
                          std::span<const uint8_t> image, const fs::path& file) {
  std::string what;
  if (kind == FlashKind::Restore) {
    what = "the backup " + PathText(file);
  } else {
    what = "the firmware";
    if (image.size() >= firmware_file::kVersion + 4) {
      what += " " + VersionNumberText(static_cast<uint32_t>(
                        LoadBigEndian(image.data() + firmware_file::kVersion, 4)));
    }
    what += file.empty() ? std::string(" built here") : " of " + PathText(file);
  }
  return "Erase and reprogram the flash of " + FlashDescription(core, slot) + " with " + what + "?";
}

BackupOutcome FlashJob::ReadFlash() {
  return core_.firmwareWork.ReadFlashBackup(bracket_);
}

FlashBackupResult FlashJob::BackUp() {
  FlashBackupResult result;
  BackupOutcome read = ReadFlash();
  if (!read.bytes) {
    result.reason = std::move(read.message);
    return result;
  }
  const std::vector<uint8_t>& backup = *read.bytes;
  if (ReadsErased(backup)) {
    result.outcome = FlashBackupResult::Outcome::Erased;
    return result;
  }
  const fs::path& directory = core_.services.logDirectory;
  const std::optional<PhysicalDrive> drive = DriveOfSlot(core_, slot_);
  const Record& status = core_.records.Status(drive.value_or(PhysicalDrive(0)));
  const fs::path first = directory / FlashBackupName(status, core_.services.now());
  result.path = first;
  std::error_code ignored;
  for (int n = 2;
       fs::exists(result.path, ignored) || fs::exists(ChecksumFileOf(result.path), ignored); ++n) {
    result.path.replace_filename(PathText(first.stem()) + "-" + std::to_string(n) + ".bin");
  }
  fs::create_directories(directory, result.error);
  if (!result.error) result.error = SaveFlashBackup(result.path, backup);
  result.outcome =
      result.error ? FlashBackupResult::Outcome::Unsaved : FlashBackupResult::Outcome::Saved;
  return result;
}

UpgradeOutcome FlashJob::Flash(FlashKind kind, std::span<const uint8_t> image, const fs::path& file,
                               const fs::path& backup, UpgradeProgress& progress) {
  // Absolute, so that the line still names them from another folder.
  std::error_code ignored;
  FlashRun run{kind, static_cast<int>(slot_.index()) + 1, std::string(),
               file.empty() ? file : fs::absolute(file, ignored),
               backup.empty() ? backup : fs::absolute(backup, ignored)};
  if (const std::optional<PhysicalDrive> drive = DriveOfSlot(core_, slot_)) {
    run.enclosure = EnclosureKey(core_.records.Status(*drive));
  }
  // Without an image the upgrade only says so; nothing starts.
  if (!image.empty()) Log(FlashStartedLine(run));
  EndLine ends(progress,
               [&](const UpgradeOutcome& outcome) { Log(FlashEndedLine(run, outcome.message)); });
  return core_.firmwareWork.Upgrade(bracket_, image, ends);
}

void FlashJob::Log(const std::string& line) {
  if (core_.services.logDirectory.empty()) return;
  // Written at once, not at the next poll's run: the start line must be on
  // the disk before the erase.
  std::error_code ignored;
  fs::create_directories(core_.services.logDirectory, ignored);
  const LogTime now = core_.services.now();
  QueueLogLine(core_.eventLog, line + ", " + FormatTimestamp(now, core_.services.dateFormat));
  core_.logWriter.WriteEventLog(0, EventLogRun{now, false, false});
}

std::vector<std::string> CutShortWatch::Look(const Core& core, const fs::path& directory) {
  std::vector<std::string> notices;
  if (core.detection.BusyDrives.load() != 0) return notices;
  for (const CutShortFlash& flash : CutShortFlashesIn(directory)) {
    if (std::find(told_.begin(), told_.end(), flash.line) != told_.end()) continue;
    told_.push_back(flash.line);
    std::optional<EnclosureSlot> slotNow;
    const std::size_t count = std::min<std::size_t>(core.devices.DeviceCount.load(), kDeviceSlots);
    for (std::size_t i = 0; i < count && !flash.run.enclosure.empty(); ++i) {
      const EnclosureSlot slot{i};
      if (EnclosureKey(core.records.Status(core.enclosures.Drive(slot))) == flash.run.enclosure)
        slotNow = slot;
    }
    notices.push_back(CutShortNotice(flash, slotNow));
  }
  return notices;
}

}  // namespace px
