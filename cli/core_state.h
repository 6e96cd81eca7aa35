#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "common/ui.h"
#include "device/channel.h"
#include "device/scsi_commands.h"
#include "device/session.h"
#include "eventlog/log_time.h"
#include "raid/context.h"
#include "raid/discovery.h"
#include "raid/records.h"

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

// The user's short-date and long-time formats, as the C library knows them
// from LC_TIME (%x and %X).
class LocaleDateFormat final : public DateTimeFormat {
 public:
  LocaleDateFormat();
  std::string ShortDate(const LogTime& time) const override;
  std::string LongTime(const LogTime& time) const override;
};

// The window's side of the poll, without a window. Devices start checked; the
// retry rule unchecks one that keeps failing, and like the window's 20-second
// timer RecheckDevices takes it back 20 s later. Monitoring never winds down
// by itself here: a headless monitor runs until it is told to stop.
class HeadlessView final : public MonitorView {
 public:
  explicit HeadlessView(Clock& clock) : clock_(clock) {}

  uint8_t ChangeCountdown() override { return 0; }
  bool DeviceChecked(std::size_t slot) override { return checked_.at(slot); }
  void UncheckDevice(std::size_t slot) override;
  bool MonitoringTimerRunning() override { return false; }
  bool StopTimerRunning() override { return false; }
  void StartStopTimer() override {}
  uint32_t UpgradeChooserPosition() override { return 0; }
  void EnableUpgradeChooser() override {}
  void SetUpgradeChooserMaximum(int) override {}
  void DisableMonitorButtons() override {}
  void DisableSettingBoxes() override {}
  int ActivePage() override { return activePage_; }
  bool PageSwitching() override { return false; }
  SettingsFill ScheduleBackup() override { return {}; }
  void ShowStatus(bool) override { shown_ = true; }

  // The device a control-sector write goes to.
  void SetActivePage(int page) { activePage_ = page; }
  // A poll got answers since the last call.
  bool TakeShown() { return std::exchange(shown_, false); }
  // Devices dropped 20 s ago or longer are polled again, their retry count
  // cleared, as a click on their check box would.
  void RecheckDevices(MonitorState& monitor);

 private:
  static constexpr uint64_t kRecheckMs = 20000;
  Clock& clock_;
  std::array<bool, kShownDevices> checked_{true, true, true, true};
  std::array<uint64_t, kShownDevices> uncheckedAt_{};
  int activePage_ = 0;
  bool shown_ = false;
};

// Everything discovery, the poll and the firmware work on, for one run of
// the tool: what the main window owns in the windowed program.
struct CoreState {
  // `pump` runs inside every channel loop (the upgrade draws its progress
  // line from there).
  explicit CoreState(Host& host, MessagePump pump = {});
  CoreState(const CoreState&) = delete;
  CoreState& operator=(const CoreState&) = delete;

  // Counts the letters and drives, then finds the enclosures.
  uint32_t Detect();
  // The letters or the drives differ from what the last detection counted.
  bool DrivesChanged();

  Host& host;
  ConsolePanels panels;
  ConsoleMessages messages;
  DeviceAccess access;
  AppFlags flags;
  CommandChannel channel;
  DeviceTable devices;
  RecordTables records;
  DetectionState detection;
  MonitorState monitor;
  HeadlessView view;
  RaidContext context;
  DriveDiscovery discovery;
};

}  // namespace px::cli
