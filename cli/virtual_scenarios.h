#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace px::sim {
class VirtualBus;
}

namespace px::cli {

// A change to the virtual enclosures made just before the status poll it
// names; poll 0 is the first read after discovery.
struct ScriptStep {
  int beforePoll;
  void (*apply)(sim::VirtualBus& bus);
};

// What --virtual NAME sets up: the demo's named set-ups, and a few more that
// show the other answers a script may meet (a member missing or waiting, a
// device that stops answering, a flash that reads back wrong or erased, disks
// the user may not open) and one scripted story for the monitor.
struct VirtualScenario {
  std::string_view name;
  std::string_view summary;
  void (*build)(sim::VirtualBus& bus);
  std::span<const ScriptStep> script;
  // The disks are there but refuse to open, as they do for a user who is not
  // allowed at them.
  bool permissionDenied = false;
};

std::vector<VirtualScenario> VirtualScenarios();
// Null for an unknown name.
const VirtualScenario* FindVirtualScenario(std::string_view name);
std::vector<std::string> VirtualScenarioNames();

// Runs the steps of `scenario` due before poll `poll`.
void ApplyScriptSteps(const VirtualScenario& scenario, sim::VirtualBus& bus, int poll);

}  // namespace px::cli
