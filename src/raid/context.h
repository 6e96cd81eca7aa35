#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "common/ui.h"
#include "device/channel.h"
#include "device/session.h"
#include "raid/records.h"
#include "raid/settings_model.h"

namespace px {

inline constexpr std::size_t kMaxDriveLetters = 24;  // 'C' to 'Z'
inline constexpr std::size_t kVolumeEntries = 20;

// A drive letter and where its volume's first extent lives.
struct VolumeEntry {
  char Letter = 0;
  uint8_t DriveType = 0;  // kVolumeOpenFailed when the volume did not open
  uint8_t DiskNumber = 0;
  uint64_t StartingOffset = 0;  // bytes
  uint64_t ExtentLength = 0;    // bytes
};
inline constexpr uint8_t kVolumeOpenFailed = 0xFF;

// The hand-over between the window and the detection thread. The order is
// built in: a request marks the detection pending before the thread can see
// it, so no poll is handed over once the thread may start; the thread marks
// its results ready before it clears "pending". The device table, the
// records of probed drives and the per-slot flags of MonitorState are
// written by the detection thread while a detection is pending: read them
// only while it is not.
class DetectionHandover {
 public:
  // The window asks for a detection.
  void Request() {
    pending_ = true;
    request_ = true;
  }
  // The detection thread takes the request, if there is one.
  bool Begin() { return request_.exchange(false); }
  // The detection thread has written its results.
  void Finish() {
    done_ = true;
    pending_ = false;
  }
  // A detection is asked for or runs.
  bool Pending() const { return pending_.load(); }
  // The window takes the results of a finished detection, once.
  bool TakeResults() { return done_.exchange(false); }
  // Results are waiting to be taken.
  bool Finished() const { return done_.load(); }
  // From a device change (or the start) until the results are laid out the
  // drives are being probed, and polls stay away.
  void SetProbing(bool probing) { probing_ = probing; }
  bool Probing() const { return probing_.load(); }

 private:
  std::atomic<bool> request_{false};
  std::atomic<bool> pending_{false};
  std::atomic<bool> done_{false};
  std::atomic<bool> probing_{false};
};

// What a detection knows of the host's drives, and its hand-over.
struct DetectionState {
  DetectionHandover handover;

  // The window counts drives on a device change while a detection may still
  // be describing the volumes of the previous count, so the letters and the
  // volume table are only touched under volumesMutex.
  mutable std::mutex volumesMutex;
  std::array<char, kMaxDriveLetters + 1> DriveLetters{};  // 0-terminated
  std::array<VolumeEntry, kVolumeEntries> VolumeTable{};
  std::atomic<uint32_t> LetterCount{0};
  std::atomic<uint32_t> PhysicalDriveCount{0};

  // Bit n: physical drive n could not be probed by the last detection, as
  // another program held it. It is neither an enclosure nor not one.
  std::atomic<uint16_t> BusyDrives{0};
};

// Bits of MonitorRequests.
inline constexpr uint8_t kPollStatus = 0x01;
inline constexpr uint8_t kWriteSettings = 0x02;
inline constexpr uint8_t kSendHostEvent = 0x04;
inline constexpr uint8_t kMonitoringActive = 0x80;

// Host events the controller is told of.
inline constexpr uint8_t kHostShuttingDown = 0x20;
inline constexpr uint8_t kHostFoundEnclosure = 0x21;

// What the status poll and the control-sector writes keep between calls. The
// per-slot arrays cover the whole device table, since discovery flags the
// slot it fills whatever its index; polls use the first kShownDevices.
struct MonitorState {
  // Raised by the window's timers and buttons, served one at a time by the
  // polling thread's hand-over.
  std::atomic<uint8_t> MonitorRequests{0};

  std::array<uint8_t, kDeviceSlots> RetryCount{};
  std::array<bool, kDeviceSlots> ProgressPending{};
  std::array<bool, kDeviceSlots> RevisionPending{};
  std::array<uint8_t, kDeviceSlots> BusyCountdown{};

  // Set at start, cleared by the first display; discovery reads it.
  std::atomic<bool> FirstDisplay{true};
  bool Redetected = false;
  std::atomic<bool> PollInProgress{false};
  uint32_t PollCount = 0;
  // Bit i: device i was skipped by the last poll, as another program held
  // its enclosure.
  uint8_t BusyDevices = 0;

  // The next host event to send, with the LBA range it carries.
  uint8_t HostEvent = 0;
  uint64_t HostEventFirstLba = 0;
  uint64_t HostEventLastLba = 0;

  // The sector written at LBA 20. Each write rewrites only its own bytes, so
  // the rest carries over from the previous write.
  Record ControlSector{};
};

// The main window's side of discovery, the status poll and the control
// sector writes. The detection thread calls only ActivePage and
// SetUpgradeChooserMaximum; everything else is called on the window's thread.
class MonitorView {
 public:
  virtual ~MonitorView() = default;

  // The device-change countdown; a poll waits while it runs.
  virtual uint8_t ChangeCountdown() = 0;
  // Device check boxes Device1..Device4; an unchecked device is not polled.
  virtual bool DeviceChecked(std::size_t slot) = 0;
  virtual void UncheckDevice(std::size_t slot) = 0;
  // The 4-second monitoring timer and the 10-second timer that stops it.
  virtual bool MonitoringTimerRunning() = 0;
  virtual bool StopTimerRunning() = 0;
  virtual void StartStopTimer() = 0;
  // The hidden upgrade chooser.
  virtual uint32_t UpgradeChooserPosition() = 0;
  virtual void EnableUpgradeChooser() = 0;
  virtual void SetUpgradeChooserMaximum(int maximum) = 0;
  // Start, Stop, Load Firmware and Start Upgrade.
  virtual void DisableMonitorButtons() = 0;
  // Buzzer Mute and Auto Scan, until the window's once-a-second pass
  // enables them again.
  virtual void DisableSettingBoxes() = 0;
  // Index of the active device page, -1 when there is none.
  virtual int ActivePage() = 0;
  virtual bool PageSwitching() = 0;
  // FillSettings over the schedule-backup controls for a settings write;
  // the window also puts the period text in place.
  virtual SettingsFill ScheduleBackup() = 0;
  // Refreshes the RAID page after a poll that got answers.
  virtual void ShowStatus(bool fullRefresh) = 0;
};

// Discovery and the poll leave the controller this long before each query.
inline constexpr uint32_t kQueryPauseMs = 200;

// Everything discovery and the monitor work on, owned by the main window (or
// the command-line tool, or a test) and lent by reference. Discovery calls
// the panels and the message boxes from the detection thread: the window
// carries those calls over to its own thread.
struct RaidContext {
  CommandChannel& channel;
  const AppFlags& flags;
  DeviceTable& devices;
  RecordTables& records;
  DetectionState& detection;
  MonitorState& monitor;
  StatusPanels& panels;
  Messages& messages;
  MonitorView& view;
};

inline void PauseBeforeQuery(const RaidContext& context) {
  context.channel.clock().SleepMs(kQueryPauseMs);
}

}  // namespace px
