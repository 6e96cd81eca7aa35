#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "common/ui.h"
#include "device/channel.h"
#include "raid/device_table.h"
#include "raid/enclosure.h"
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
// records of probed drives and the enclosures' poll flags are written by
// the detection thread while a detection is pending: read them only while
// it is not.
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

// What the status poll and the control-sector writes keep between calls,
// apart from what each enclosure keeps (its Enclosure).
struct MonitorState {
  // Raised by the window's timers and buttons, served one at a time by the
  // polling thread's hand-over.
  std::atomic<uint8_t> MonitorRequests{0};

  // Set at start, cleared by the first display; discovery reads it.
  std::atomic<bool> FirstDisplay{true};
  bool Redetected = false;
  std::atomic<bool> PollInProgress{false};
  uint32_t PollCount = 0;

  // The next host event to send, with the LBA range it carries.
  uint8_t HostEvent = 0;
  uint64_t HostEventFirstLba = 0;
  uint64_t HostEventLastLba = 0;

  // The sector written at LBA 20. Each write rewrites only its own bytes, so
  // the rest carries over from the previous write.
  Record ControlSector{};
};

// What the status poll and the control-sector writes ask of their front end
// while they run on its thread: whether the drives are changing, which
// devices the user has in polling, and the settings the user chose. What
// they have to say back comes in their results.
class MonitorClient {
 public:
  virtual ~MonitorClient() = default;
  // A device change is being counted down: the poll waits for it.
  virtual bool DrivesChanging() = 0;
  // The user has device `slot` in polling (the window's Device check boxes).
  virtual bool Polled(EnclosureSlot slot) = 0;
  // Device `slot` kept failing and is out of polling until the user takes
  // it back.
  virtual void Dropped(EnclosureSlot slot) = 0;
  // The schedule-backup settings for a settings write, read at the moment
  // it is made; nothing while the user is switching device pages.
  virtual std::optional<SettingsFill> ChosenSettings() = 0;
};

// Discovery and the poll leave the controller this long before each query.
inline constexpr uint32_t kQueryPauseMs = 200;

// Everything discovery and the monitor work on, owned by the core and lent
// by reference. Discovery calls the panels and the message boxes from the
// detection thread: the window carries those calls over to its own thread.
class PolledElsewhere;

struct RaidContext {
  CommandChannel& channel;
  const AppFlags& flags;
  DeviceTable& devices;
  RecordTables& records;
  DetectionState& detection;
  MonitorState& monitor;
  EnclosureSet& enclosures;
  StatusPanels& panels;
  Messages& messages;
  // Where the enclosures are polled by another process (pxraidd) that owns
  // the disks: discovery and the poll take its records instead of asking
  // the controllers, and control writes are refused. Null: this process
  // asks them itself.
  PolledElsewhere* elsewhere = nullptr;
};

inline void PauseBeforeQuery(const RaidContext& context) {
  context.channel.clock().SleepMs(kQueryPauseMs);
}

}  // namespace px
