#include "cli/options.h"

#include <charconv>
#include <filesystem>
#include <system_error>

#include "cli/host.h"
#include "cli/virtual_scenarios.h"

namespace px::cli {
namespace {

std::string ScenarioHelp() {
  std::string help =
      "run against the virtual bus instead of this machine's disks; SCENARIO is one of:";
  for (const VirtualScenario& scenario : VirtualScenarios()) {
    help += "\n  " + std::string(scenario.name) + ": " + std::string(scenario.summary);
  }
  return help;
}

// A link to a disk's node (/dev/disk/by-id/...) names the node it leads to.
std::string ResolvedNode(std::string text) {
  if (!text.starts_with("/")) return text;
  std::error_code error;
  const std::filesystem::path node = std::filesystem::canonical(text, error);
  return error ? text : node.string();
}

class SpacedFormatter final : public CLI::Formatter {
 public:
  // CLI11's own layout, with the blank line after the options.
  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override {
    if (mode != CLI::AppFormatMode::Normal) return CLI::Formatter::make_help(app, name, mode);
    std::string groups = make_groups(app, mode);
    if (!groups.empty() && !groups.ends_with("\n\n")) groups += '\n';
    return make_description(app) + make_usage(app, name) + make_positionals(app) + groups +
           make_subcommands(app, mode) + '\n' + make_footer(app);
  }
};

}  // namespace

std::shared_ptr<CLI::Formatter> BlankLineAfterOptions() {
  return std::make_shared<SpacedFormatter>();
}

CLI::Validator Checked(std::string (*check)(const std::string&), const std::string& name) {
  return CLI::Validator(check, name);
}

CLI::Validator WholeNumber(uint64_t min, uint64_t max) {
  const std::string range = std::to_string(min) + " to " + std::to_string(max);
  return CLI::Validator(
      [min, max, range](const std::string& text) -> std::string {
        const bool negative = !text.empty() && text[0] == '-';
        const std::string digits = negative ? text.substr(1) : text;
        uint64_t value = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || end != digits.data() + digits.size() ||
            (error != std::errc() && error != std::errc::result_out_of_range)) {
          return "'" + text + "' is not a number";
        }
        if (negative || error != std::errc() || value < min || value > max) {
          return text + " is not in the range " + range;
        }
        return {};
      },
      "N in " + range);
}

CLI::Validator Hidden(const std::string& name, const CLI::Validator& check) {
  return CLI::Validator(
      [name, check](std::string& text) -> std::string {
        const std::string refused = check(text);
        return refused.empty() ? refused : name + ": " + refused;
      },
      "");
}

void AddGlobalOptions(CLI::App& app, GlobalOptions& global, bool& quiet) {
  CLI::Option* virtualOption = app.add_option("--virtual", global.virtualScenario, ScenarioHelp())
                                   ->option_text("SCENARIO")
                                   ->check(CLI::IsMember(VirtualScenarioNames()));
  CLI::Option* recordOption =
      app.add_option("--record", global.record,
                     "record every device command and answer of this run in FILE, for a bug "
                     "report")
          ->option_text("FILE");
  app.add_option("--replay", global.replay,
                 "play a recording back instead of talking to any disk; a command that "
                 "differs from the recording ends the run")
      ->option_text("FILE")
      ->check(CLI::ExistingFile)
      ->excludes(virtualOption)
      ->excludes(recordOption);
  app.add_flag("-q,--quiet", quiet,
               "print nothing on standard output (status: answer by the exit status alone); "
               "errors and questions still go to standard error");
}

CLI::Option* AddDriveChoice(CLI::App& command, std::optional<PhysicalDrive>& drive) {
  return command
      .add_option_function<int>(
          "--drive", [&drive](int number) { drive = PhysicalDrive::FromNumber(number); },
          "only the enclosure on physical drive N, as list shows it under DRIVE; no "
          "other drive is sent a command")
      ->check(WholeNumber(0, PhysicalDrive::kLast));
}

CLI::Option* AddEnclosureChoice(CLI::App& command, std::string& enclosure) {
  return command
      .add_option("--enclosure", enclosure,
                  "the enclosure whose stable id (as status --json shows it) or /dev node is "
                  "ID, or one of whose disks has ID as serial number")
      ->option_text("ID")
      ->transform(CLI::Validator(
          [](std::string& text) {
            text = ResolvedNode(text);
            return std::string();
          },
          ""));
}

void AddEnclosureChoice(CLI::App& command, int& device, std::string& enclosure, bool& direct) {
  command.add_flag("--direct", direct,
                   "work on the enclosure here even when pxraidd runs (which otherwise runs "
                   "the command, for users polkit allows, and goes on if this one is stopped)");
  CLI::Option* number = command.add_option("--device", device, "enclosure N (from 1)")
                            ->capture_default_str()
                            ->check(WholeNumber(1, 8));
  AddEnclosureChoice(command, enclosure)->excludes(number);
}

}  // namespace px::cli
