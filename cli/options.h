#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "device/physical_drive.h"

// The options and checks that several of pxraid's commands share, so that
// one option reads and is refused the same way wherever it is taken.

namespace px::cli {

struct GlobalOptions;

// A check made by `check`, which returns what is wrong or nothing; `name`
// is what --help shows of the value.
CLI::Validator Checked(std::string (*check)(const std::string&), const std::string& name);

// A whole decimal number from `min` to `max`, told apart from a word that is
// no number at all.
CLI::Validator WholeNumber(uint64_t min, uint64_t max);

// CLI11 names the option whose value its check refuses, except a hidden
// one, whose name it gives as empty (": 5000000 is not in the range ..."):
// a hidden option's check names the option itself, and the empty name goes.
CLI::Validator Hidden(const std::string& name, const CLI::Validator& check);

// The help of the tool itself and of monitor, whose options end with a
// blank line before what follows (the commands, the end), as their help has
// always read; every other command's ends with its last option.
std::shared_ptr<CLI::Formatter> BlankLineAfterOptions();

// The options every command takes, before or after its name: --virtual,
// --record, --replay and --quiet.
void AddGlobalOptions(CLI::App& app, GlobalOptions& global, bool& quiet);

// --drive N: one enclosure, named by its physical drive, the only thing
// known of it before anything is asked (an enclosure's number from 1
// depends on which drives before it are enclosures).
CLI::Option* AddDriveChoice(CLI::App& command, std::optional<PhysicalDrive>& drive);

// --enclosure ID: an enclosure told by what stays its own or can be read
// off the machine: its stable id, its /dev node or a member's serial number
// (ChooseEnclosure).
CLI::Option* AddEnclosureChoice(CLI::App& command, std::string& enclosure);

// How a firmware command is told its enclosure: --device N, or --enclosure
// as above; and --direct, which keeps the work from pxraidd.
void AddEnclosureChoice(CLI::App& command, int& device, std::string& enclosure, bool& direct);

}  // namespace px::cli
