#include "cli/command.h"

#include <utility>

#include "cli/host.h"

namespace px::cli {

Invocation::Invocation(const GlobalOptions& global) : global_(global) {}

Invocation::~Invocation() = default;

bool Invocation::OnThisMachinesDisks() const {
  return global_.virtualScenario.empty() && global_.replay.empty() && global_.record.empty();
}

Host& Invocation::host() {
  if (host_ == nullptr) host_ = std::make_unique<Host>(global_);
  return *host_;
}

Command::Command(std::string name, std::string description)
    : name_(std::move(name)), description_(std::move(description)) {}

Command::~Command() = default;

int Command::Failed(const std::string& error) const {
  Complain(error);
  return kExitFailed;
}

void Command::AttachTo(CLI::App& parent) {
  app_ = parent.add_subcommand(name_, description_);
  AddOptions(*app_);
}

CommandGroup::CommandGroup(std::string name, std::string description,
                           std::vector<std::unique_ptr<Command>> commands)
    : Command(std::move(name), std::move(description)), commands_(std::move(commands)) {}

void CommandGroup::AddOptions(CLI::App& command) {
  command.require_subcommand(1);
  for (const std::unique_ptr<Command>& sub : commands_) sub->AttachTo(command);
}

int CommandGroup::Run(Invocation& run) {
  Command& reached = Reached();
  return &reached == this ? kExitUsage : reached.Run(run);
}

Command& CommandGroup::Reached() {
  for (const std::unique_ptr<Command>& sub : commands_) {
    if (sub->Parsed()) return sub->Reached();
  }
  return *this;
}

}  // namespace px::cli
