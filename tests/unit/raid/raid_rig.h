#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "device/knock.h"
#include "raid/context.h"
#include "raid/discovery.h"
#include "raid/monitor.h"
#include "sim/fake_clock.h"
#include "sim/virtual_bus.h"
#include "support/recording_ui.h"

namespace px::test {

// Records panel texts and lets a test act on one the moment it is shown.
class HookedPanels final : public StatusPanels {
 public:
  void SetText(int panel, std::string_view text) override {
    recorded.SetText(panel, text);
    if (hook) hook(panel, text);
  }
  RecordingPanels recorded;
  std::function<void(int, std::string_view)> hook;
};

// The front end as the monitor asks it.
class FakeMonitorClient final : public MonitorClient {
 public:
  bool DrivesChanging() override { return drivesChanging; }
  bool Polled(EnclosureSlot slot) override { return checked[slot.index()]; }
  void Dropped(EnclosureSlot slot) override {
    checked[slot.index()] = false;
    unchecked.push_back(slot.index());
  }
  std::optional<SettingsFill> ChosenSettings() override {
    if (pageSwitching) return std::nullopt;
    return schedule;
  }

  bool drivesChanging = false;
  std::array<bool, kShownDevices> checked{true, true, true, true};
  std::vector<std::size_t> unchecked;
  bool pageSwitching = false;
  SettingsFill schedule;
};

// A window's worth of state against the virtual enclosure bus, on a fake
// clock.
struct RaidRig {
  RaidRig() = default;
  RaidRig(const RaidRig&) = delete;
  RaidRig& operator=(const RaidRig&) = delete;

  // What the window does at start and on a device change: count the letters
  // and the drives, then detect.
  uint32_t Detect() { return discovery.DetectNow().enclosures; }

  // What the window does once the first results are laid out.
  void FirstDisplayDone() { monitor.FirstDisplay = false; }

  Record& StatusOf(uint32_t drive) { return records.StatusRecord[drive]; }
  Record& ConfigOf(uint32_t drive) { return records.ConfigRecord[drive]; }

  sim::FakeClock clock;
  sim::VirtualBus bus{&clock};
  HookedPanels panels;
  RecordingMessages messages;
  DeviceAccess access{bus, panels};
  AppFlags flags;
  CommandChannel channel{access, clock, {}, flags};
  DeviceTable devices;
  RecordTables records;
  DetectionState detection;
  MonitorState monitor;
  EnclosureSet enclosures{devices};
  FakeMonitorClient client;
  RaidContext context{channel, flags,      devices, records, detection,
                      monitor, enclosures, panels,  messages};
  DriveDiscovery discovery{context};
  std::vector<uint8_t> loggedMasks;
  RaidMonitor raid{context, [this](uint8_t mask, uint8_t) { loggedMasks.push_back(mask); }};

  // What the window's serving round runs: the monitor's dispatch, with the
  // first device page in front.
  std::function<void()> Serve() {
    return [this] { raid.DispatchRequest(client, EnclosureSlot{0}); };
  }

  // One poll, as the window's hand-over runs it; the report is kept.
  PollReport Poll() {
    reports.push_back(raid.ReadStatus(client));
    return reports.back();
  }
  // The display refreshes the polls asked for: full (true) or not.
  std::vector<bool> Displays() const {
    std::vector<bool> out;
    for (const PollReport& r : reports)
      if (r.display) out.push_back(*r.display);
    return out;
  }
  std::vector<PollReport> reports;
};

inline std::string Text(const Record& record, std::size_t at, std::size_t size) {
  return std::string(record.begin() + static_cast<std::ptrdiff_t>(at),
                     record.begin() + static_cast<std::ptrdiff_t>(at + size));
}

inline std::string Padded(std::string text, std::size_t size) {
  text.resize(size, ' ');
  return text;
}

// How long the enclosure was left before each query: from its previous
// command (or from `since`, for the first) to the query's first knock read.
// The controllers answer at once, so the read of the reply ends a query.
inline std::vector<uint64_t> PausesBeforeQueries(const std::vector<sim::TraceEntry>& trace,
                                                 uint64_t since) {
  constexpr uint8_t kRead10 = 0x28;
  std::vector<uint64_t> pauses;
  uint64_t previous = since;
  bool inQuery = false;
  for (const sim::TraceEntry& command : trace) {
    const bool read = command.opcode == kRead10;
    if (read && !inQuery) pauses.push_back(command.timeMs - previous);
    inQuery = read && command.lba != kReplyLba;
    previous = command.timeMs;
  }
  return pauses;
}

// Waits for another thread to get somewhere. The limit only keeps a broken
// build from hanging; no test depends on how long it takes.
inline bool Eventually(const std::function<bool()>& condition) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace px::test
