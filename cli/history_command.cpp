#include <memory>

#include "cli/command.h"
#include "cli/member_history.h"

// pxraid history: what the member history holds (RunHistory, where the
// build keeps one).

namespace px::cli {
namespace {

class HistoryCommand final : public Command {
 public:
  HistoryCommand()
      : Command("history",
                "what the member history holds: enclosures, disks, events and rebuilds") {}

  void AddOptions(CLI::App& command) override {
    command
        .add_option("--history", options_.file,
                    "the history file (default: the one pxraid monitor keeps beside the logs)")
        ->option_text("FILE");
    command.add_option("--serial", options_.serial, "one disk's life, by its serial number")
        ->option_text("S");
    command
        .add_option("--since", options_.since,
                    "events and rebuilds from then on: 2026-12-07 or 2026-12-07T10:00:00 (UTC)")
        ->option_text("DATE");
    command.add_flag("--json", options_.json, "machine-readable output");
  }

  int Run(Invocation& /*run*/) override { return RunHistory(options_); }

 private:
  HistoryOptions options_;
};

}  // namespace

std::unique_ptr<Command> MakeHistoryCommand() {
  return std::make_unique<HistoryCommand>();
}

}  // namespace px::cli
