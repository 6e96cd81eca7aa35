#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/command.h"
#include "cli/commands.h"
#include "cli/core_state.h"
#include "cli/enclosure_status.h"
#include "cli/firmware_args.h"
#include "cli/firmware_client.h"
#include "cli/host.h"
#include "cli/options.h"
#include "cli/progress_text.h"
#include "cli/sleep_inhibitor.h"
#include "cli/stop_signal.h"
#include "common/bytes.h"
#include "common/text.h"
#include "core/flash_job.h"
#include "firmware/firmware_file.h"
#include "firmware/flash_backup.h"
#include "firmware/flash_journal.h"
#include "firmware/upgrade.h"

#ifdef _WIN32
#include <io.h>
#define PX_ISATTY(fd) _isatty(fd)
#define PX_FILENO(f) _fileno(f)
#else
#include <unistd.h>
#define PX_ISATTY(fd) isatty(fd)
#define PX_FILENO(f) fileno(f)
#endif

// pxraid firmware: check, and the commands that read or write an
// enclosure's flash, which share one way of choosing it, of showing the
// work's progress and of running the work (build is a file of its own).

namespace px::cli {

using monitor::ChooseEnclosure;
using monitor::EnclosureChoice;
using monitor::EnclosureReport;

namespace {

namespace fs = std::filesystem;

struct FirmwareCheckOptions {
  std::string file;
  int device = 0;  // 1-based; 0: none given
  std::string deviceVersion;
  std::string deviceProduct;
};

struct FirmwareUpgradeOptions {
  std::string file;
  int device = 1;
  // The stable id of the enclosure (status --json's "id"); chosen instead of
  // `device` when given.
  std::string enclosure;
  bool yes = false;
  bool noBackup = false;
  std::string logDir;  // the backup and the log line; empty for the default
};

struct FirmwareBackupOptions {
  std::string file;
  int device = 1;
  // The stable id of the enclosure (status --json's "id"); chosen instead of
  // `device` when given.
  std::string enclosure;
  std::string logDir;
};

struct FirmwareRestoreOptions {
  std::string file;
  int device = 1;
  // The stable id of the enclosure (status --json's "id"); chosen instead of
  // `device` when given.
  std::string enclosure;
  bool yes = false;
  std::string logDir;
};

// Panel texts go by as lines (the loader's "File:", "Chksum:", "F:", "C:"
// and the stage results); a single space only clears the panel.
void PrintPanelText(int, std::string_view text) {
  if (text.empty() || text == " ") return;
  std::cout << text << std::endl;
}

// The upgrade's progress panel as one line: the stage, its percent and how
// many of its pages (erase blocks in stage 2) are done. On a terminal the
// line is redrawn in place; otherwise a line is written at every quarter of
// a stage.
class ProgressLine final : public UpgradeProgress {
 public:
  ProgressLine() : terminal_(PX_ISATTY(PX_FILENO(stdout)) != 0) {}
  // The counter of the firmware work to show.
  void Follow(const std::atomic<uint32_t>& progress) { progress_ = &progress; }

  void Started(uint32_t) override {
    PrintPanelText(0, kUpgradeLabel);
    running_ = true;
  }
  // Stage 2 erases 4 KiB blocks; stages 3 and 4 move 128-byte pages. Stage
  // 1 touches nothing and draws no line.
  void StageBegins(int stage) override {
    if (stage == 1) {
      drawn_ = false;
      return;
    }
    Begin(StageCaption(stage), stage == 2 ? "block" : "page",
          kFlashSize / (stage == 2 ? kSpiEraseSize : kSpiPageSize));
  }
  void StepsDone(uint32_t) override { Refresh(); }
  void Finished(const UpgradeOutcome&) override {
    running_ = false;
    Break();
  }

  // A backup's reads of the flash: two passes, page by page, and the pages
  // read again.
  void BackupBegins() {
    Begin("Backup", "read", 2 * kFlashSize / kSpiPageSize);
    running_ = true;
  }
  void BackupEnds() {
    Refresh();
    running_ = false;
    Break();
  }

  // From the channel's loops, as the window's timer would.
  void Refresh() {
    if (!running_ || !drawn_) return;
    const uint32_t done = std::min(progress_->load() - stageStart_, stageSteps_);
    const uint32_t percent = done * 100 / stageSteps_;
    const std::string line = ProgressText(caption_, percent, unit_, done, stageSteps_);
    if (terminal_) {
      if (line == shown_) return;
      std::cout << '\r' << line << std::flush;
      shown_ = line;
      open_ = true;
    } else if (const int quarter = static_cast<int>(percent / 25); quarter != lastQuarter_) {
      lastQuarter_ = quarter;
      std::cout << line << std::endl;
    }
  }
  // Ends a line drawn in place before anything else is printed.
  void Break() {
    if (!open_) return;
    std::cout << std::endl;
    open_ = false;
    shown_.clear();
  }

 private:
  void Begin(std::string caption, const char* unit, uint32_t steps) {
    caption_ = std::move(caption);
    drawn_ = true;
    stageStart_ = progress_->load();
    unit_ = unit;
    stageSteps_ = steps;
    lastQuarter_ = -1;
  }

  const std::atomic<uint32_t>* progress_ = nullptr;
  bool terminal_;
  bool running_ = false;
  bool drawn_ = false;
  bool open_ = false;
  std::string caption_;
  std::string unit_ = "page";
  std::string shown_;
  uint32_t stageStart_ = 0;
  uint32_t stageSteps_ = 1;
  int lastQuarter_ = -1;
};

// The slot of device `device` (1-based), or of the enclosure `enclosure`
// names (its stable id, /dev node or a member's serial) when one is given,
// after discovery; or nothing with the reason told.
std::optional<EnclosureSlot> ChooseDevice(CoreState& core, int device,
                                          const std::string& enclosure = {}) {
  const uint32_t count = DetectAndExplain(core).enclosures;
  if (count == 0) return std::nullopt;
  if (!enclosure.empty()) {
    std::vector<EnclosureReport> enclosures;
    for (std::size_t slot = 0; slot < count; ++slot) {
      enclosures.push_back(BuildReport(core, slot, false, false));
    }
    const EnclosureChoice chosen = ChooseEnclosure(enclosures, enclosure);
    if (!chosen.index) {
      Complain(chosen.why);
      return std::nullopt;
    }
    return EnclosureSlot{*chosen.index};
  }
  if (device < 1 || static_cast<uint32_t>(device) > count) {
    Complain("there is no device " + std::to_string(device) + ": " + std::to_string(count) +
             (count == 1 ? " enclosure" : " enclosures") + " found");
    return std::nullopt;
  }
  return EnclosureSlot{static_cast<std::size_t>(device - 1)};
}

// What the commands that read or write an enclosure's flash share: the
// enclosure chosen after discovery, the progress line, and the firmware job
// on it (the bracket, the enclosure kept from other programs, the backup,
// the lines in the day's log).
class FlashSession {
 public:
  FlashSession(Host& host, const fs::path& logDirectory)
      : host_(host),
        logDirectory_(logDirectory),
        sleepInhibitor_(CreateSleepInhibitor()),
        core_(host, Options(progress_, *sleepInhibitor_, logDirectory)) {
    progress_.Follow(core_.firmware.UpgradeProgress);
  }

  // Finds enclosure `device` (from 1), or the one of stable id `enclosure`
  // when that is given, tells of any flash cut short that
  // the log folder shows, and makes sure the enclosure's disk opens and is
  // ours; otherwise says why and gives the exit status.
  int Choose(int device, const std::string& enclosure) {
    const std::optional<EnclosureSlot> slot = ChooseDevice(core_, device, enclosure);
    CutShortWatch watch;
    TellCutShortRuns(core_, logDirectory_, watch);
    if (!slot) return kExitNoDevice;
    // From here on the panels tell what firmware work does (discovery's
    // counters went by unprinted).
    core_.panels.SetListener([this](int panel, std::string_view text) {
      progress_.Break();
      PrintPanelText(panel, text);
    });
    slot_ = *slot;
    const ScopedDevice disk(core_.access, drive());
    if (!disk.valid()) {
      Complain("CreateFile blocked! The disk of " + Description() + " does not open.");
      const std::string advice = host_.PermissionAdvice(core_.detection.PhysicalDriveCount);
      if (!advice.empty()) Complain(advice);
      return kExitNoDevice;
    }
    // The enclosure stays ours from the backup to the last compare, so the
    // backup is the flash as the erase found it.
    job_.emplace(core_, slot_);
    if (job_->refusal()) {
      Complain(*job_->refusal() + " Nothing was changed.");
      return kExitNoDevice;
    }
    return kExitOk;
  }

  // The loader's checks against the chosen enclosure; false when refused.
  bool LoadFirmware(const fs::path& file) {
    const std::error_code reason = LoadFirmwareFile(file, core_.records.Config(drive()),
                                                    core_.firmware, core_.panels, core_.messages);
    if (reason) Complain("cannot read " + PathText(file) + ": " + ReasonText(reason));
    return core_.firmware.FirmwareLength() != 0;
  }

  // A backup file as the image to write; false when refused.
  bool LoadBackup(const fs::path& file) {
    std::error_code reason;
    std::optional<std::vector<uint8_t>> backup = LoadFlashBackup(file, core_.messages, &reason);
    if (reason) Complain("cannot read " + PathText(file) + ": " + ReasonText(reason));
    if (!backup) return false;
    core_.firmware.ReplaceImage(std::move(*backup), file);
    return true;
  }

  // The chosen enclosure's flash range, read with a progress line, or the
  // message panel's words for why a page could not be read.
  BackupOutcome ReadFlash() {
    progress_.BackupBegins();
    BackupOutcome flash = job_->ReadFlash();
    progress_.BackupEnds();
    return flash;
  }

  // The backup an upgrade makes first, in the log folder, with a progress
  // line.
  FlashBackupResult BackUp() {
    progress_.BackupBegins();
    FlashBackupResult backup = job_->BackUp();
    progress_.BackupEnds();
    return backup;
  }

  std::string Description() const { return FlashDescription(core_, slot_); }
  std::string Question(FlashKind kind, const fs::path& file) const {
    return job_->Question(kind, image(), file);
  }

  const std::vector<uint8_t>& image() const { return core_.firmware.FirmwareImage; }

  // Asks `question` on the terminal unless `yes`; a stop request counts as
  // a no.
  static bool Confirmed(bool yes, const std::string& question) {
    if (!StopRequested() && !yes && !Confirm(question)) {
      Complain("not confirmed; nothing was changed");
      return false;
    }
    if (StopRequested()) {
      Complain("stopped; nothing was changed");
      return false;
    }
    return true;
  }

  // Erases, programs and verifies the image on the chosen enclosure, with
  // its start and its outcome in the day's log. True when the flash reads
  // back as the image.
  bool Flash(FlashKind kind, const fs::path& file, const fs::path& backup) {
    // Half a flash is worse than a slow one: stop requests wait until the
    // outcome is in the log.
    const StopRefusal refusal;
    const UpgradeOutcome outcome = job_->Flash(kind, image(), file, backup, progress_);
    progress_.Break();
    return outcome.verified;
  }

 private:
  PhysicalDrive drive() const { return core_.enclosures.Drive(slot_); }

  // The progress line is drawn from inside every channel loop, as the
  // window's timer would. The day's log is the folder's the backup goes to.
  static CoreOptions Options(ProgressLine& progress, SleepInhibitor& sleepInhibitor,
                             const fs::path& logDirectory) {
    CoreOptions options;
    options.pump = [&progress] { progress.Refresh(); };
    options.sleepInhibitor = &sleepInhibitor;
    options.logDirectory = logDirectory;
    return options;
  }

  Host& host_;
  fs::path logDirectory_;
  ProgressLine progress_;
  std::unique_ptr<SleepInhibitor> sleepInhibitor_;
  CoreState core_;
  EnclosureSlot slot_{0};
  std::optional<FlashJob> job_;
};

fs::path LogDirectory(const std::string& option) {
  return option.empty() ? DefaultLogDirectory() : fs::path(option);
}

// Refusals of the backup an upgrade makes first: nothing has been erased,
// and there is the way round them.
constexpr char kNothingErased[] = "; nothing was erased. --no-backup upgrades without a backup.";

int RunFirmwareCheck(Host& host, const FirmwareCheckOptions& options) {
  // The device's identity record: bytes 46-49 its firmware version, 50-51 its
  // product code. All zero compares against no device: no product check.
  Record config{};
  std::unique_ptr<CoreState> core;
  if (options.device > 0) {
    core = std::make_unique<CoreState>(host);
    const std::optional<EnclosureSlot> slot = ChooseDevice(*core, options.device);
    if (!slot) return kExitNoDevice;
    config = core->records.Config(core->enclosures.Drive(*slot));
  } else if (!options.deviceVersion.empty()) {
    StoreBigEndian(config.data() + config::kFirmwareVersion, 4,
                   *ParseHexArgument(options.deviceVersion, 8));
    StoreBigEndian(config.data() + config::kProductCode, 2,
                   *ParseHexArgument(options.deviceProduct, 4));
  } else {
    Complain("no device given (--device or --device-version): the product check is left out");
  }

  ConsolePanels panels;
  panels.SetListener(PrintPanelText);
  ConsoleMessages messages;
  FirmwareState state;
  const std::error_code reason =
      LoadFirmwareFile(fs::path(options.file), config, state, panels, messages);
  if (state.FirmwareLength() == 0) {
    if (reason) Complain("cannot read " + options.file + ": " + ReasonText(reason));
    return kExitFailed;
  }
  // The loader takes any length; the upgrade wants the whole flash range.
  if (const std::optional<std::string> refusal = UpgradeRefusal(state.FirmwareImage)) {
    std::cerr << "An upgrade would refuse the file. " << *refusal << std::endl;
    return kExitFailed;
  }
  std::cout << "The firmware file would be accepted." << std::endl;
  return kExitOk;
}

int RunFirmwareUpgrade(Host& host, const FirmwareUpgradeOptions& options) {
  // Ctrl+C ends the command up to the erase, and is refused from there on.
  InstallStopHandler();
  IgnoreClosedOutput();
  FlashSession session(host, LogDirectory(options.logDir));
  if (const int chosen = session.Choose(options.device, options.enclosure); chosen != kExitOk)
    return chosen;
  const fs::path file(options.file);
  if (!session.LoadFirmware(file)) return kExitFailed;
  // Refused here, once, rather than asked about and then refused by the
  // upgrade's first stage, whose text the window repeats in its final box.
  if (const std::optional<std::string> refusal = UpgradeRefusal(session.image())) {
    Complain(*refusal + " Nothing was changed.");
    return kExitFailed;
  }
  if (!session.Confirmed(options.yes, session.Question(FlashKind::Upgrade, file))) {
    return kExitFailed;
  }
  fs::path backup;
  if (!options.noBackup) {
    const FlashBackupResult made = session.BackUp();
    switch (made.outcome) {
      case FlashBackupResult::Outcome::Saved:
        backup = made.path;
        std::cout << "Flash backed up to " << PathText(backup) << std::endl;
        break;
      case FlashBackupResult::Outcome::Erased:
        Complain(kFlashReadsErased);
        if (!session.Confirmed(options.yes, kGoOnWithoutBackup)) return kExitFailed;
        break;
      case FlashBackupResult::Outcome::Unread:
        Complain("the flash could not be backed up (" + made.reason + ")" + kNothingErased);
        return kExitFailed;
      case FlashBackupResult::Outcome::Unsaved:
        Complain("cannot write the backup " + PathText(made.path) + ": " + ReasonText(made.error) +
                 kNothingErased);
        return kExitFailed;
    }
  }
  if (StopRequested()) {
    Complain("stopped; nothing was erased");
    return kExitFailed;
  }
  return session.Flash(FlashKind::Upgrade, file, backup) ? kExitOk : kExitFailed;
}

int RunFirmwareBackup(Host& host, const FirmwareBackupOptions& options) {
  InstallStopHandler();
  FlashSession session(host, LogDirectory(options.logDir));
  if (const int chosen = session.Choose(options.device, options.enclosure); chosen != kExitOk)
    return chosen;
  const BackupOutcome read = session.ReadFlash();
  if (!read.bytes) {
    Complain("the flash could not be read (" + read.message + "); no backup was written");
    return kExitFailed;
  }
  const std::vector<uint8_t>& backup = *read.bytes;
  // A restore would refuse it: there is nothing to keep.
  if (ReadsErased(backup)) {
    Complain(std::string(kFlashReadsErased) + " No backup was written.");
    return kExitFailed;
  }
  if (StopRequested()) {
    Complain("stopped; no backup was written");
    return kExitFailed;
  }
  if (const std::error_code error = SaveFlashBackup(fs::path(options.file), backup)) {
    Complain("cannot write " + options.file + ": " + ReasonText(error) + "; no backup was written");
    return kExitFailed;
  }
  std::cout << "Flash of " << session.Description() << " saved to " << options.file << std::endl;
  return kExitOk;
}

int RunFirmwareRestore(Host& host, const FirmwareRestoreOptions& options) {
  InstallStopHandler();
  IgnoreClosedOutput();
  FlashSession session(host, LogDirectory(options.logDir));
  if (const int chosen = session.Choose(options.device, options.enclosure); chosen != kExitOk)
    return chosen;
  const fs::path file(options.file);
  if (!session.LoadBackup(file)) return kExitFailed;
  if (!session.Confirmed(options.yes, session.Question(FlashKind::Restore, file))) {
    return kExitFailed;
  }
  return session.Flash(FlashKind::Restore, file, {}) ? kExitOk : kExitFailed;
}

// How upgrade, backup and restore run: the work goes to pxraidd, unless it
// is about other disks, or is to log into a folder of this run's own, or
// --direct keeps it here, where `here` does it.
int ServedOrHere(Invocation& run, bool direct, const std::string& logDir,
                 const FirmwareRequest& request, const std::function<int(Host&)>& here) {
  if (direct || !run.OnThisMachinesDisks() || !logDir.empty()) return here(run.host());
  InstallStopHandler();
  if (const std::optional<int> done = FirmwareThroughService(request)) return *done;
  return here(run.host());
}

class FirmwareCheckCommand final : public Command {
 public:
  FirmwareCheckCommand() : Command("check", "validate a firmware file as the loader does") {}

  void AddOptions(CLI::App& command) override {
    command.add_option("FILE", options_.file, "firmware file")->required();
    CLI::Option* device =
        command.add_option("--device", options_.device, "compare with enclosure N (from 1)")
            ->check(WholeNumber(1, 8));
    CLI::Option* version =
        command
            .add_option("--device-version", options_.deviceVersion,
                        "compare with a device of this firmware version (hex)")
            ->check(CLI::Validator([](std::string& v) { return CheckHexArgument(v, 8); }, "HEX"));
    CLI::Option* product =
        command
            .add_option("--device-product", options_.deviceProduct,
                        "... and this product code (hex, e.g. 5000)")
            ->check(CLI::Validator([](std::string& v) { return CheckHexArgument(v, 4); }, "HEX"));
    device->excludes(version)->excludes(product);
    version->needs(product);
    product->needs(version);
  }

  int Run(Invocation& run) override { return RunFirmwareCheck(run.host(), options_); }

 private:
  FirmwareCheckOptions options_;
};

class FirmwareUpgradeCommand final : public Command {
 public:
  FirmwareUpgradeCommand()
      : Command("upgrade", "erase, program and verify the controller's flash") {}

  void AddOptions(CLI::App& command) override {
    command.add_option("FILE", options_.file, "firmware file")->required();
    AddEnclosureChoice(command, options_.device, options_.enclosure, direct_);
    command.add_flag("--yes,-y", options_.yes,
                     "do not ask for confirmation, nor before going on without a backup "
                     "when the flash reads as erased");
    command.add_flag("--no-backup", options_.noBackup,
                     "do not read the flash into a backup file first");
    command.add_option("--log-dir", options_.logDir, "where the backup and the daily log files go");
  }

  int Run(Invocation& run) override {
    return ServedOrHere(run, direct_, options_.logDir,
                        {FirmwareWork::Upgrade, options_.file, options_.device, options_.enclosure,
                         options_.yes, options_.noBackup},
                        [this](Host& host) { return RunFirmwareUpgrade(host, options_); });
  }

 private:
  FirmwareUpgradeOptions options_;
  bool direct_ = false;
};

class FirmwareBackupCommand final : public Command {
 public:
  FirmwareBackupCommand() : Command("backup", "read the controller's flash into a file") {}

  void AddOptions(CLI::App& command) override {
    command.add_option("FILE", options_.file, "the backup file (replaced if it exists)")
        ->required();
    AddEnclosureChoice(command, options_.device, options_.enclosure, direct_);
    command.add_option("--log-dir", options_.logDir,
                       "where the daily log files are, to tell of a firmware upgrade cut "
                       "short");
  }

  int Run(Invocation& run) override {
    return ServedOrHere(
        run, direct_, options_.logDir,
        {FirmwareWork::Backup, options_.file, options_.device, options_.enclosure, false, false},
        [this](Host& host) { return RunFirmwareBackup(host, options_); });
  }

 private:
  FirmwareBackupOptions options_;
  bool direct_ = false;
};

class FirmwareRestoreCommand final : public Command {
 public:
  FirmwareRestoreCommand()
      : Command("restore", "erase, program and verify the controller's flash with a backup") {}

  void AddOptions(CLI::App& command) override {
    command.add_option("FILE", options_.file, "a backup file")->required();
    AddEnclosureChoice(command, options_.device, options_.enclosure, direct_);
    command.add_flag("--yes,-y", options_.yes, "do not ask for confirmation");
    command.add_option("--log-dir", options_.logDir, "where the daily log files go");
  }

  int Run(Invocation& run) override {
    return ServedOrHere(run, direct_, options_.logDir,
                        {FirmwareWork::Restore, options_.file, options_.device, options_.enclosure,
                         options_.yes, false},
                        [this](Host& host) { return RunFirmwareRestore(host, options_); });
  }

 private:
  FirmwareRestoreOptions options_;
  bool direct_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeFirmwareCommand() {
  std::vector<std::unique_ptr<Command>> commands;
  commands.push_back(std::make_unique<FirmwareCheckCommand>());
  commands.push_back(std::make_unique<FirmwareUpgradeCommand>());
  commands.push_back(std::make_unique<FirmwareBackupCommand>());
  commands.push_back(std::make_unique<FirmwareRestoreCommand>());
  commands.push_back(MakeFirmwareBuildCommand());
  return std::make_unique<CommandGroup>(
      "firmware", "check, upgrade, back up, restore or build firmware", std::move(commands));
}

}  // namespace px::cli
