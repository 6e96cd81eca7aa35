#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/ui.h"
#include "eventlog/log_file.h"
#include "eventlog/log_time.h"
#include "raid/device_table.h"
#include "raid/enclosure.h"
#include "raid/records.h"

namespace px {

// The event log's share of the program's state, as it stands once the main
// window has been created. What it remembers of each device between polls
// is that enclosure's (Enclosure::logTrack).
struct EventLogState {
  // Today's log, line by line: the lines of LogFile as last read or written,
  // then this program's lines that are not in it yet. Other programs logging
  // into the same folder add theirs to the file; each run reads them in.
  std::vector<std::string> LogLines;
  // Finished lines from outside a poll, moved into the log at the next run.
  std::vector<std::string> PendingLines;
  bool PendingLinesFlag = false;
  // How many of LogLines, from the first, are in LogFile.
  std::size_t SavedLines = 0;
  // The file LogLines belongs to: the day's file, or this user's own file of
  // the day when the day's file cannot be read. Empty before the first run.
  std::filesystem::path LogFile;
  // Goes up whenever LogLines changed other than by lines added at its end
  // (a new day, another program's lines read in ahead of ours that could not
  // be saved), so that the live view knows to reload.
  uint64_t Rewrites = 0;
  // Lines of earlier days that never reached their file.
  std::size_t LostLines = 0;
};

// Lines this program logged that are in no file: unsaved ones of today and
// lost ones of earlier days.
std::size_t UnsavedLineCount(const EventLogState& state);

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
  // caption as loaded; directory is where the day's files go. The folder's
  // lock is waited for on `clock`, and not at all once `flags` say the
  // program is closing or stopping.
  EventLogWriter(EventLogState& state, EnclosureSet& enclosures, const RecordTables& records,
                 std::string baseCaption, std::filesystem::path directory,
                 const DateTimeFormat& format, StatusPanels& panels, Clock& clock,
                 const AppFlags& flags);

  // deviceMask bit i: device index i was read in this poll. Reads the day's
  // file in, compares those devices with the previous poll, appends lines
  // for what changed and saves the file when anything was added, or when
  // lines of earlier runs are still unsaved. The save puts this program's
  // new lines after whatever the file holds by then, under the folder's lock,
  // so two programs logging into one folder never erase each other's lines.
  // A day's file that cannot be read is never replaced, and a lock that
  // another program keeps is not waited for beyond kLogLockWaitMs: the lines
  // go to this user's own file of the day instead. What cannot be read or written is
  // reported in the message panel; the lines stay in LogLines and every
  // later run tries again. Returns how many lines this run added; they are
  // the last of LogLines.
  std::size_t WriteEventLog(uint8_t deviceMask, const EventLogRun& run);

 private:
  // Makes LogLines the file's lines followed by ours that are not in it.
  void ReadIn(const std::filesystem::path& file, std::vector<std::string> fileLines);
  // Whether the locks this run holds let it replace `file`: the folder's lock
  // any file, the user's own lock only the user's own files.
  struct Locks;
  // When LogLines still belongs to another day, its unsaved lines get one
  // more try at their own file; then the log starts empty.
  void FinishEarlierDay(const std::filesystem::path& dayFile, const std::filesystem::path& ownFile,
                        const Locks& locks);

  EventLogState& state_;
  EnclosureSet& enclosures_;
  const RecordTables& records_;
  std::string baseCaption_;
  std::filesystem::path directory_;
  const DateTimeFormat& format_;
  StatusPanels& panels_;
  Clock& clock_;
  const AppFlags& flags_;
  // Names this user's own file of a day whose file cannot be read.
  std::string user_;
};

}  // namespace px
