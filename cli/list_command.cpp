#include <algorithm>
#include <array>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/commands.h"
#include "cli/core_state.h"
#include "cli/enclosure_status.h"
#include "cli/options.h"

// pxraid list: one line per enclosure.

namespace px::cli {

using monitor::ChooseEnclosure;
using monitor::EnclosureChoice;
using monitor::EnclosureReport;

namespace {

struct ListOptions {
  std::optional<PhysicalDrive> drive;
  // The enclosure named by its stable id, /dev node or a member's serial
  // (ChooseEnclosure); empty for every one.
  std::string enclosure;
};

int RunList(Host& host, const ListOptions& options) {
  CoreState core(host, LookingAt(options.drive));
  const uint32_t count = DetectAndExplain(core).enclosures;
  if (count == 0) return kExitNoDevice;

  std::vector<EnclosureReport> enclosures;
  for (std::size_t slot = 0; slot < count; ++slot) {
    enclosures.push_back(BuildReport(core, slot, true, false));
  }
  if (!options.enclosure.empty()) {
    const EnclosureChoice chosen = ChooseEnclosure(enclosures, options.enclosure);
    if (!chosen.index) {
      Complain(chosen.why);
      return kExitNoDevice;
    }
    enclosures = {enclosures[*chosen.index]};
  }
  std::vector<std::array<std::string, 7>> rows = {
      {"DEV", "DRIVE", "NAME", "FIRMWARE", "MODE", "P0", "P1"}};
  for (const EnclosureReport& enclosure : enclosures) rows.push_back(ListFields(enclosure));
  std::array<std::size_t, 7> widths{};
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    std::cout << line << '\n';
  }
  return kExitOk;
}

class ListCommand final : public Command {
 public:
  ListCommand() : Command("list", "one line per enclosure") {}

  void AddOptions(CLI::App& command) override {
    CLI::Option* drive = AddDriveChoice(command, options_.drive);
    AddEnclosureChoice(command, options_.enclosure)->excludes(drive);
  }

  int Run(Invocation& run) override { return RunList(run.host(), options_); }

 private:
  ListOptions options_;
};

}  // namespace

std::unique_ptr<Command> MakeListCommand() {
  return std::make_unique<ListCommand>();
}

}  // namespace px::cli
