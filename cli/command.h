#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace px::cli {

class Host;
struct GlobalOptions;

// What a command runs with: the options every command takes, and the host
// they name (this machine's disks, the virtual bus, a recording), made when
// the command first asks for it: a command that pxraidd answers, or that
// reads no disk, never opens one.
class Invocation {
 public:
  explicit Invocation(const GlobalOptions& global);
  ~Invocation();
  Invocation(const Invocation&) = delete;
  Invocation& operator=(const Invocation&) = delete;

  const GlobalOptions& global() const { return global_; }
  // The run is of this machine's own disks as they are, neither virtual nor
  // recorded nor replayed: those pxraidd watches, so it may answer for
  // them.
  bool OnThisMachinesDisks() const;
  // Made on the first call. A scenario, start time or recording that is not
  // usable throws (Host's constructor).
  Host& host();

 private:
  const GlobalOptions& global_;
  std::unique_ptr<Host> host_;
};

// One of pxraid's commands (KeePassXC's Command): its name and its line in
// --help, the options it declares on its own subcommand, and what it does
// with them once the arguments are read.
class Command {
 public:
  Command(std::string name, std::string description);
  virtual ~Command();
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  const std::string& name() const { return name_; }
  const std::string& description() const { return description_; }

  // Declares the command's options, or its subcommands, on `command`, which
  // reads them into the command's own members.
  virtual void AddOptions(CLI::App& command) = 0;
  // Runs the command with the options read; the exit status.
  // std::invalid_argument is a mistake in the arguments (UsageExit), any
  // other exception a failure (Failed).
  virtual int Run(Invocation& run) = 0;
  // The exit status of arguments that are wrong.
  virtual int UsageExit() const { return kExitUsage; }
  // Says why the run ended in `error`; the exit status.
  virtual int Failed(const std::string& error) const;
  // The command the arguments reached: this one, or one of its subcommands.
  virtual Command& Reached() { return *this; }

  // Makes the command a subcommand of `parent`, with its options.
  void AttachTo(CLI::App& parent);
  // The arguments named the command.
  bool Parsed() const { return app_ != nullptr && app_->parsed(); }

 private:
  std::string name_;
  std::string description_;
  CLI::App* app_ = nullptr;
};

// A command that is only a name for its subcommands, one of which must be
// given: pxraid firmware.
class CommandGroup : public Command {
 public:
  CommandGroup(std::string name, std::string description,
               std::vector<std::unique_ptr<Command>> commands);

  void AddOptions(CLI::App& command) override;
  int Run(Invocation& run) override;
  Command& Reached() override;

 private:
  std::vector<std::unique_ptr<Command>> commands_;
};

// pxraid's commands, each in a file of its own, in the order --help lists
// them.
std::unique_ptr<Command> MakeListCommand();
std::unique_ptr<Command> MakeStatusCommand();
std::unique_ptr<Command> MakeMonitorCommand();
std::unique_ptr<Command> MakeHistoryCommand();
std::unique_ptr<Command> MakeLogCommand();
std::unique_ptr<Command> MakeFirmwareCommand();
// firmware's subcommand that asks no enclosure anything.
std::unique_ptr<Command> MakeFirmwareBuildCommand();

}  // namespace px::cli
