#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/stop_signal.h"
#include "common/sleep_inhibitor.h"
#include "common/ui.h"
#include "core/core.h"
#include "eventlog/log_time.h"
#include "raid/context.h"

namespace px::cli {

class Host;

// The status bar, headless: every panel keeps its last text, and a command
// may watch the texts go by (the upgrade prints its stage results, the
// monitor the log writer's complaints).
class ConsolePanels final : public StatusPanels {
 public:
  using Listener = std::function<void(int panel, std::string_view text)>;
  void SetText(int panel, std::string_view text) override;
  const std::string& Text(int panel) const { return texts_.at(static_cast<std::size_t>(panel)); }
  void SetListener(Listener listener) { listener_ = std::move(listener); }

 private:
  std::array<std::string, kMessagePanel + 1> texts_;
  Listener listener_;
};

// Message boxes become lines: the core's own text, byte for byte, on
// standard error; a success notice (the exclamation box that ends an
// upgrade) on standard output.
class ConsoleMessages final : public Messages {
 public:
  void Show(std::string_view title, std::string_view text, MessageIcon icon) override;
  const std::string& LastTitle() const { return lastTitle_; }
  const std::string& LastText() const { return lastText_; }

 private:
  std::string lastTitle_;
  std::string lastText_;
};

// The window's side of the poll, without a window. Devices start checked; the
// retry rule unchecks one that keeps failing, and like the window's 20-second
// timer RecheckDevices takes it back 20 s later. Monitoring never winds down
// by itself here: a headless monitor runs until it is told to stop.
class HeadlessClient final : public MonitorClient {
 public:
  explicit HeadlessClient(Clock& clock) : clock_(clock) {}

  bool DrivesChanging() override { return false; }
  bool Polled(EnclosureSlot slot) override { return checked_.at(slot.index()); }
  void Dropped(EnclosureSlot slot) override;
  std::optional<SettingsFill> ChosenSettings() override { return SettingsFill{}; }

  // Devices dropped 20 s ago or longer are polled again, their retry count
  // cleared, as a click on their check box would.
  void RecheckDevices(EnclosureSet& enclosures);

 private:
  static constexpr uint64_t kRecheckMs = 20000;
  Clock& clock_;
  std::array<bool, kShownDevices> checked_{true, true, true, true};
  std::array<uint64_t, kShownDevices> uncheckedAt_{};
};

// What a command asks of the core beyond the console.
struct CoreOptions {
  // Runs inside every channel loop (the upgrade draws its progress line from
  // there).
  MessagePump pump;
  SleepInhibitor* sleepInhibitor = nullptr;
  // Where the day's log goes; empty for commands that keep none.
  std::filesystem::path logDirectory;
  // Told the lines each poll added to the log.
  std::function<void(const std::vector<std::string>& lines)> logged;
  // Told what changed on the enclosures after each poll.
  std::function<void(const std::vector<EnclosureEvent>& events)> events;
  // Detections probe this physical drive only; every drive when empty.
  std::optional<PhysicalDrive> onlyDrive;
};

// The console a command's core reports to: built before the core, which
// holds references to it.
struct Console {
  explicit Console(Clock& clock) : client(clock) {}
  ConsolePanels panels;
  ConsoleMessages messages;
  HeadlessClient client;
  SystemDateFormat format;
  NoSleepInhibitor noSleepInhibitor;
};

// What a detection found nothing on: "No enclosure found.", naming the drive
// when only one was asked. pxraidd says it too, for the drive a client asks
// of its last poll.
std::string NoEnclosureText(std::optional<PhysicalDrive> onlyDrive);

// The core for one run of the tool, over the host's disks and clock, with
// the console as its window.
struct CoreState : Console, Core {
  explicit CoreState(Host& host, CoreOptions options = {});

  // Counts the letters and drives, then finds the enclosures: side by side,
  // unless the session is recorded or replayed.
  DetectionReport Detect();
  std::string NoEnclosureText() const { return cli::NoEnclosureText(probing.onlyDrive); }

  Host& host;
  const ProbeOptions probing;
  // Ctrl+C or SIGTERM ends the core's waits too.
  const StopRaises stopRaises{flags.stopping};
};

}  // namespace px::cli
