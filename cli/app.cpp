#include "cli/app.h"

#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"

#ifndef PXRAID_VERSION
#define PXRAID_VERSION "unknown"
#endif

namespace px::cli {
namespace {

constexpr std::string_view kUnnamed = ": ";

// The command the arguments reached: the deepest one named.
const CLI::App& DeepestNamed(const CLI::App& app) {
  const CLI::App* command = &app;
  while (!command->get_subcommands().empty()) command = command->get_subcommands().front();
  return *command;
}

std::string CommandPath(const CLI::App& command) {
  std::string path;
  for (const CLI::App* level = &command; level->get_parent() != nullptr;
       level = level->get_parent()) {
    path = path.empty() ? level->get_name() : level->get_name() + " " + path;
  }
  return path;
}

std::string SubcommandNames(const CLI::App& command) {
  std::string names;
  for (const CLI::App* sub : command.get_subcommands({})) {
    names += (names.empty() ? "" : ", ") + sub->get_name();
  }
  return names;
}

// What was wrong with the arguments, naming the word that was: CLI11 says "A
// subcommand is required" for a command it does not know, and "The
// following argument was not expected" for an unknown option.
std::string UsageMessage(const CLI::App& app, const CLI::ParseError& error) {
  const CLI::App& command = DeepestNamed(app);
  const std::string path = CommandPath(command);
  const std::vector<std::string> extra = app.remaining();
  const bool option = !extra.empty() && extra.front().rfind('-', 0) == 0;
  const std::string of = path.empty() ? std::string() : path + " ";
  if (command.get_require_subcommand_min() > 0 && !option) {
    if (extra.empty()) {
      return (path.empty() ? "a command is required" : path + " needs a command") + ": " +
             SubcommandNames(command);
    }
    return "unknown " + of + "command '" + extra.front() + "'; the " + of + "commands are " +
           SubcommandNames(command);
  }
  if (!extra.empty()) {
    return (option ? "unknown option '" : "unexpected argument '") + extra.front() + "'" +
           (path.empty() ? std::string() : " for " + path);
  }
  const std::string_view what = error.what();
  return std::string(what.starts_with(kUnnamed) ? what.substr(kUnnamed.size()) : what);
}

}  // namespace

Tool::Tool() : app_("Status, event log and firmware of two-disk USB RAID enclosures.", "pxraid") {
  app_.set_version_flag("--version", PXRAID_VERSION);
  app_.require_subcommand(1);
  // Global options may also follow the command: pxraid status --virtual ...
  app_.fallthrough();
  AddGlobalOptions(app_, global_, quiet_);
  commands_.push_back(MakeListCommand());
  commands_.push_back(MakeStatusCommand());
  commands_.push_back(MakeMonitorCommand());
  commands_.push_back(MakeHistoryCommand());
  commands_.push_back(MakeLogCommand());
  commands_.push_back(MakeFirmwareCommand());
  for (const std::unique_ptr<Command>& command : commands_) command->AttachTo(app_);
  // After the commands, which would take it on as theirs.
  app_.formatter(BlankLineAfterOptions());
}

Tool::~Tool() = default;

Command& Tool::command(std::string_view name) {
  for (const std::unique_ptr<Command>& command : commands_) {
    if (command->name() == name) return *command;
  }
  throw std::logic_error("pxraid has no command " + std::string(name));
}

Command* Tool::Reached() {
  for (const std::unique_ptr<Command>& command : commands_) {
    if (command->Parsed()) return &command->Reached();
  }
  return nullptr;
}

int Tool::Run(int argc, char** argv) {
  // status speaks to monitoring systems, for which a check that is called
  // wrongly is UNKNOWN, not CRITICAL.
  const auto usageError = [this] {
    const Command* reached = Reached();
    return reached != nullptr ? reached->UsageExit() : kExitUsage;
  };
  try {
    app_.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app_.exit(error);  // --help, --version
    Complain(UsageMessage(app_, error));
    std::cerr << "Run with --help for more information." << std::endl;
    return usageError();
  }
  Command* reached = Reached();
  if (reached == nullptr) return kExitUsage;

  // Standard output goes nowhere for the rest of the run, and back after it.
  struct Silence {
    std::streambuf* was = nullptr;
    ~Silence() {
      if (was != nullptr) std::cout.rdbuf(was);
      SetQuiet(false);
    }
  } silence;
  if (quiet_) {
    std::cout.flush();
    silence.was = std::cout.rdbuf(nullptr);
    SetQuiet(true);
  }
  try {
    Invocation run(global_);
    return reached->Run(run);
  } catch (const std::invalid_argument& error) {
    Complain(error.what());
    return usageError();
  } catch (const std::exception& error) {
    return reached->Failed(error.what());
  }
}

int Run(int argc, char** argv) {
  Tool tool;
  return tool.Run(argc, argv);
}

}  // namespace px::cli
