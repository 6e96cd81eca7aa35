#include "cli/virtual_scenarios.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "sim/demo_scenarios.h"
#include "sim/virtual_bus.h"

namespace px::cli {
namespace {

using sim::ControllerScenario;
using sim::VirtualBus;

// Every extra set-up starts from the demo's healthy mirror and changes its
// controller, so the disks, letters and identity stay those users know from
// the demo.
void BuildHealthyMirror(VirtualBus& bus) {
  sim::FindDemoScenario("healthy-mirror")->build(bus);
}

void ChangeMirror(VirtualBus& bus, void (*change)(ControllerScenario&)) {
  bus.EnclosureAt(sim::kMirrorDrive)->UpdateScenario(change);
}

void BuildInsertedMember(VirtualBus& bus) {
  BuildHealthyMirror(bus);
  ChangeMirror(bus, [](ControllerScenario& s) { s.p1.state = sim::kPortStateInserted; });
}

void BuildAbsentMember(VirtualBus& bus) {
  BuildHealthyMirror(bus);
  ChangeMirror(bus, [](ControllerScenario& s) { s.p1.state = sim::kPortStateOff; });
}

void BuildSingleDisk(VirtualBus& bus) {
  BuildHealthyMirror(bus);
  ChangeMirror(bus, [](ControllerScenario& s) {
    s.modeByte = 0;  // JBOD
    s.p1.state = sim::kPortStateOff;
    s.progress = {};
  });
}

// Disks are meant to give their model in ASCII; some give a byte of a local
// code page, here Latin-1's e acute.
void BuildLatin1Model(VirtualBus& bus) {
  BuildHealthyMirror(bus);
  ChangeMirror(bus, [](ControllerScenario& s) { s.p1.model = "Disque n\xE9o 1TB"; });
}

void BuildFlippedBit(VirtualBus& bus) {
  BuildHealthyMirror(bus);
  bus.EnclosureAt(sim::kMirrorDrive)->UpdateFaults([](sim::ControllerFaults& faults) {
    faults.flippedBit = sim::FlippedBit{0x1234, 0x04};
  });
}

void BuildErasedFlash(VirtualBus& bus) {
  BuildHealthyMirror(bus);
  bus.EnclosureAt(sim::kMirrorDrive)->ResetFlash();
}

void BuildNoPermission(VirtualBus& bus) {
  BuildHealthyMirror(bus);
  bus.SetOpenFails(sim::kSystemDiskDrive, true);
  bus.SetOpenFails(sim::kMirrorDrive, true);
}

void StopAnswering(VirtualBus& bus) {
  bus.EnclosureAt(sim::kMirrorDrive)->UpdateFaults([](sim::ControllerFaults& faults) {
    faults.noReply = true;
  });
}

// The mirror's P1 disk is pulled, a new one put in its place, and the
// controller rebuilds it from P0 until the pair is whole again.
void PullP1(VirtualBus& bus) {
  ChangeMirror(bus, [](ControllerScenario& s) { s.p1.state = sim::kPortStateOff; });
}

void InsertNewP1(VirtualBus& bus) {
  ChangeMirror(bus, [](ControllerScenario& s) {
    s.p1.state = sim::kPortStateInserted;
    s.p1.serial = "WD-WCC3F0000003";
  });
}

template <uint8_t Percent>
void Rebuild(VirtualBus& bus) {
  ChangeMirror(bus, [](ControllerScenario& s) {
    s.p1.state = sim::kPortStateBusy;
    s.progress = sim::RebuildProgress(sim::kOneTerabyteSectors, Percent);
  });
}

void RebuildDone(VirtualBus& bus) {
  ChangeMirror(bus, [](ControllerScenario& s) {
    s.p1.state = sim::kPortStateReady;
    s.progress.present = false;
  });
}

constexpr std::array kMemberReplaced{
    ScriptStep{2, &PullP1},       ScriptStep{4, &InsertNewP1},  ScriptStep{6, &Rebuild<0>},
    ScriptStep{8, &Rebuild<30>},  ScriptStep{10, &Rebuild<60>}, ScriptStep{12, &Rebuild<99>},
    ScriptStep{14, &RebuildDone},
};

// The disks put back the wrong way round, a disk that failed before, a
// stranger and a disk too small for the volume: what the member history
// warns of, one after the other, each in P1 after the last was pulled.
void SwapMembers(VirtualBus& bus) {
  ChangeMirror(bus, [](ControllerScenario& s) { std::swap(s.p0, s.p1); });
}

void FailP1(VirtualBus& bus) {
  ChangeMirror(bus, [](ControllerScenario& s) { s.p1.state = sim::kPortStateFailed; });
}

template <char Last, uint64_t Sectors = sim::kOneTerabyteSectors>
void InsertP1(VirtualBus& bus) {
  ChangeMirror(bus, [](ControllerScenario& s) {
    s.p1.state = sim::kPortStateInserted;
    s.p1.serial = std::string("WD-WCC3F000000") + Last;
    s.p1.capacitySectors = Sectors;
  });
}

constexpr std::array kDisksMixedUp{
    ScriptStep{2, &SwapMembers}, ScriptStep{4, &FailP1},
    ScriptStep{6, &PullP1},      ScriptStep{8, &InsertP1<'1'>},
    ScriptStep{10, &PullP1},     ScriptStep{12, &InsertP1<'9'>},
    ScriptStep{14, &PullP1},     ScriptStep{16, &InsertP1<'8', sim::kOneTerabyteSectors / 2>},
};

// A rebuild onto a new P1 that gains one percent a poll from the start.
template <std::size_t... Percent>
constexpr auto RebuildSteps(std::index_sequence<Percent...>) {
  return std::array{
      ScriptStep{static_cast<int>(Percent), &Rebuild<static_cast<uint8_t>(Percent)>}...};
}
constexpr auto kSteadyRebuild = RebuildSteps(std::make_index_sequence<100>());

constexpr std::array kStopsAnswering{ScriptStep{0, &StopAnswering}};

constexpr std::array kStripePluggedIn{ScriptStep{2, &sim::PlugStripeEnclosure}};

}  // namespace

std::vector<VirtualScenario> VirtualScenarios() {
  std::vector<VirtualScenario> scenarios;
  for (const sim::DemoScenario& demo : sim::DemoScenarios()) {
    scenarios.push_back({demo.name, demo.summary, demo.build, {}});
  }
  scenarios.push_back({"inserted-member",
                       "mirror whose new P1 disk is inserted but not yet part of the volume",
                       &BuildInsertedMember,
                       {}});
  scenarios.push_back({"absent-member", "mirror whose P1 disk is missing", &BuildAbsentMember, {}});
  scenarios.push_back(
      {"single-disk", "JBOD enclosure with one disk, as set up", &BuildSingleDisk, {}});
  scenarios.push_back({"silent-enclosure", "mirror that stops answering once it has been found",
                       &BuildHealthyMirror, kStopsAnswering});
  scenarios.push_back({"latin1-model",
                       "mirror whose P1 disk gives its model in Latin-1, not UTF-8",
                       &BuildLatin1Model,
                       {}});
  scenarios.push_back(
      {"flipped-bit", "mirror whose flash reads one bit back wrong", &BuildFlippedBit, {}});
  scenarios.push_back({"erased-flash",
                       "mirror whose flash reads as erased (every byte FFh)",
                       &BuildErasedFlash,
                       {}});
  scenarios.push_back(
      {"no-permission", "mirror whose disks the user may not open", &BuildNoPermission, {}, true});
  scenarios.push_back(
      {"enclosure-plugged-in",
       "mirror beside which a striped enclosure is plugged in before the third poll",
       &BuildHealthyMirror, kStripePluggedIn});
  scenarios.push_back({"disks-mixed-up",
                       "mirror whose disks are swapped, then given back a failed one, a stranger "
                       "and a small one as polls go by",
                       &BuildHealthyMirror, kDisksMixedUp});
  scenarios.push_back({"steady-rebuild", "mirror rebuilding onto P1 at one percent a poll from 0%",
                       &BuildHealthyMirror, kSteadyRebuild});
  scenarios.push_back({"member-replaced",
                       "mirror whose P1 disk is pulled, replaced and rebuilt as polls go by",
                       &BuildHealthyMirror, kMemberReplaced});
  return scenarios;
}

const VirtualScenario* FindVirtualScenario(std::string_view name) {
  static const std::vector<VirtualScenario> scenarios = VirtualScenarios();
  const auto found = std::find_if(scenarios.begin(), scenarios.end(),
                                  [name](const VirtualScenario& s) { return s.name == name; });
  return found == scenarios.end() ? nullptr : &*found;
}

std::vector<std::string> VirtualScenarioNames() {
  std::vector<std::string> names;
  for (const VirtualScenario& scenario : VirtualScenarios()) names.emplace_back(scenario.name);
  return names;
}

void ApplyScriptSteps(const VirtualScenario& scenario, sim::VirtualBus& bus, int poll) {
  for (const ScriptStep& step : scenario.script) {
    if (step.beforePoll == poll) step.apply(bus);
  }
}

}  // namespace px::cli
