#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "cli/command.h"
#include "cli/commands.h"
#include "cli/core_state.h"
#include "cli/firmware_args.h"
#include "common/number_text.h"
#include "firmware/image_builder.h"
#include "firmware/image_files.h"
#include "firmware/sub_code_table.h"

// pxraid firmware build: a flash image from a head file and sub-codes, as
// the window's image builder makes it. No enclosure is asked anything.

namespace px::cli {
namespace {

namespace fs = std::filesystem;

struct FirmwareBuildOptions {
  std::string head;
  std::vector<std::string> subs;  // FILE[:TYPE[:FLAG]]
  std::string size = "auto";
  bool jumper = true;
  bool chip = true;
  std::string fanSupported = "1";
  std::string fanLimit = "2000";
  std::string thermalSupported = "1";
  std::string thermalLimit = "50";
  bool scheduleBackup = false;
  bool fastBackup = false;
  std::string seed;  // empty: from the clock
  std::string output;
};

std::optional<BinSize> SizeOf(const std::string& size) {
  if (size == "1M") return BinSize::OneMBits;
  if (size == "2M") return BinSize::TwoMBits;
  if (size == "4M") return BinSize::FourMBits;
  if (size == "8M") return BinSize::EightMBits;
  return std::nullopt;
}

int RunFirmwareBuild(const FirmwareBuildOptions& options) {
  ConsolePanels panels;
  ConsoleMessages messages;
  const auto refuse = [&messages](const ImageRefusal& refusal) {
    messages.Show(refusal.title, refusal.text, MessageIcon::Error);
    return kExitFailed;
  };
  // Like the window, a build without a seed takes it from the clock.
  std::mt19937 fill(
      options.seed.empty()
          ? static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count() &
                                  0xFFFFFFFF)
          : ParseNumberText(options.seed));

  ImageSettings settings;
  settings.raidModeByJumper = options.jumper;
  settings.zl7314bChip = options.chip;
  settings.fanSupported = options.fanSupported;
  settings.fanAlarmLimit = options.fanLimit;
  settings.thermalSupported = options.thermalSupported;
  settings.thermalAlarmLimit = options.thermalLimit;
  settings.scheduleBackup = options.scheduleBackup;
  settings.fastBackup = options.fastBackup;
  settings.autoSize = options.size == "auto";
  settings.binSize = SizeOf(options.size);

  // A head file of another name is read up front, so its refusal comes
  // before any sub-code's, and goes by SPIHEAD.BIN in the builder's. One so
  // named goes into the table as the window takes it.
  const fs::path head(options.head);
  std::optional<ImageFile> renamedHead;
  SubCodeTable table;
  if (IsHeadFileName(head)) {
    table.AddFile(head);
  } else {
    renamedHead = ReadImageFile(head);
    if (renamedHead->unreadable) return refuse(*renamedHead->unreadable);
    renamedHead->name = kHeadFileName;
  }
  for (const std::string& text : options.subs) {
    const SubCodeArgument sub = ParseSubCodeArgument(text);
    if (const std::optional<std::string> refusal = table.AddFile(fs::path(sub.file))) {
      return refuse({"Error", *refusal});
    }
    // Sub-code k shows in grid row k + 1, where the window edits it.
    const int row = table.SubCodeCount() + 1;
    if (sub.type) {
      try {
        table.SetCodeTypeText(row, *sub.type);
      } catch (const ConversionError& error) {
        return refuse({"Error", error.what()});
      }
    }
    if (sub.flag) table.SetUpdateFlag(row, *sub.flag == 1);
  }

  ImageParts parts = ReadImageParts(table);
  // A sub-code named SPIHEAD.BIN takes the head file's place, as in the window.
  if (!parts.head) parts.head = std::move(renamedHead);
  const ImageBuild build = BuildImage(parts, settings, fill);
  if (build.refusal) return refuse(*build.refusal);
  if (!SaveImageFile(fs::path(options.output), build.image, panels, messages)) return kExitFailed;
  std::cout << "Bin size " << build.image.size() << " bytes, configuration block at "
            << *build.configOffset << '\n'
            << panels.Text(3) << std::endl;
  return kExitOk;
}

class FirmwareBuildCommand final : public Command {
 public:
  FirmwareBuildCommand() : Command("build", "build a flash image from a head file and sub-codes") {}

  void AddOptions(CLI::App& command) override {
    command.add_option("--head", options_.head, "the head file (SPIHEAD.BIN)")
        ->option_text("FILE")
        ->required();
    command
        .add_option("--sub", options_.subs,
                    "a sub-code FILE[:TYPE[:FLAG]]; TYPE as 160 or A0H, FLAG TRUE or FALSE")
        ->option_text("FILE[:TYPE[:FLAG]]")
        ->check(CLI::Validator([](std::string& v) { return CheckSubCodeArgument(v); }, ""));
    command.add_option("--size", options_.size, "image size in bits, or auto")
        ->option_text("auto|1M|2M|4M|8M")
        ->check(CLI::IsMember({"auto", "1M", "2M", "4M", "8M"}));
    command.add_flag("--jumper,!--no-jumper", options_.jumper, "RAID mode set by jumper");
    command.add_flag("--chip,!--no-chip", options_.chip, "ZL7314B chip");
    // The builder's numbers are checked as they are read, like every other
    // argument: a word that is no number is a usage error whatever the
    // option.
    const CLI::Validator number([](std::string& v) { return CheckNumberArgument(v); }, "N");
    command.add_option("--fan-supported", options_.fanSupported, "FAN supported")
        ->option_text("N")
        ->capture_default_str()
        ->check(number);
    command.add_option("--fan-limit", options_.fanLimit, "FAN alarm limit, RPM")
        ->option_text("N")
        ->capture_default_str()
        ->check(number);
    command
        .add_option("--thermal-supported", options_.thermalSupported, "thermal sensor supported")
        ->option_text("N")
        ->capture_default_str()
        ->check(number);
    command
        .add_option("--thermal-limit", options_.thermalLimit,
                    "thermal alarm limit, degrees Celsius")
        ->option_text("N")
        ->capture_default_str()
        ->check(number);
    command.add_flag("--schedule-backup", options_.scheduleBackup, "schedule backup supported");
    command.add_flag("--fast-backup", options_.fastBackup, "fast backup supported");
    command.add_option("--seed", options_.seed, "seed of the pseudo-random fill")
        ->option_text("N")
        ->check(number);
    command.add_option("-o,--output", options_.output, "the image file (.bin)")
        ->option_text("OUT")
        ->required();
  }

  int Run(Invocation& /*run*/) override { return RunFirmwareBuild(options_); }

 private:
  FirmwareBuildOptions options_;
};

}  // namespace

std::unique_ptr<Command> MakeFirmwareBuildCommand() {
  return std::make_unique<FirmwareBuildCommand>();
}

}  // namespace px::cli
