#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/ui.h"
#include "device/session.h"
#include "eventlog/log_time.h"
#include "raid/records.h"

namespace px {

// LastPercent while no rebuild or copy is being followed.
inline constexpr uint8_t kNoProgress = 0xFF;

// What the log remembers of one device index between polls. It follows the
// index, not the enclosure: a re-detection re-takes PrevPortFlags so that a
// different device in the same place writes no change lines.
struct PortTrackRecord {
  // PortFlags as last seen; 0xFF counts as 0.
  uint8_t PrevPortFlags = 0;
  // Percentage of the last progress line, or kNoProgress.
  uint8_t LastPercent = kNoProgress;
  // Direction of the last progress line: 0 towards P0, 1 towards P1.
  uint8_t ProgressPort = 0;
};

// The event log's share of the program's state, as it stands once the main
// window has been created.
struct EventLogState {
  // Today's log, line by line, exactly as in the day's file once saved.
  std::vector<std::string> LogLines;
  // Finished lines from outside a poll, moved into the log at the next run.
  std::vector<std::string> PendingLines;
  bool PendingLinesFlag = false;
  std::array<PortTrackRecord, kShownDevices> PortTrack{};
  // Name of the day's file whose last save failed. Its lines then exist only
  // in LogLines, so the file's absence is no sign of a new day.
  std::string UnsavedFile;
};

// Puts a finished line into the log at the writer's next run.
void QueueLogLine(EventLogState& state, std::string line);

// The line queued when the last enclosure disappears while monitoring runs.
std::string DeviceRemovedLine(const std::string& timestamp);

// What one run is told by the poll that calls it.
struct EventLogRun {
  // The moment every line of this run carries; also names the day's file.
  LogTime Now;
  // Still starting: write the start block.
  bool FirstDisplay = false;
  // The device count changed since the last poll: write the restart block.
  bool Redetected = false;
};

// Turns what each poll read into dated log lines and keeps the day's file.
class EventLogWriter {
 public:
  // The references must outlive the writer. baseCaption is the main window's
  // caption as loaded; directory is where the day's files go.
  EventLogWriter(EventLogState& state, const DeviceTable& devices, const RecordTables& records,
                 std::string baseCaption, std::filesystem::path directory,
                 const DateTimeFormat& format, StatusPanels& panels);

  // deviceMask bit i: device index i was read in this poll. Compares those
  // devices with the previous poll, appends lines for what changed and saves
  // the day's file when anything was added. A file that cannot be read or
  // written is reported in the message panel; the lines stay in LogLines and
  // the next save writes them all.
  void WriteEventLog(uint8_t deviceMask, const EventLogRun& run);

 private:
  EventLogState& state_;
  const DeviceTable& devices_;
  const RecordTables& records_;
  std::string baseCaption_;
  std::filesystem::path directory_;
  const DateTimeFormat& format_;
  StatusPanels& panels_;
};

}  // namespace px
