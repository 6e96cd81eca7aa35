#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/ui.h"
#include "eventlog/event_log.h"

namespace px {

// The colours the viewer's text takes, named after the system colours the
// window maps them to.
enum class LogTextColour { WindowText, GrayText };

// What an operation did to the viewer's lines, so that the window can append
// instead of redrawing everything.
enum class ViewUpdate { None, Appended, Replaced };

// The monitor's flags as the viewer reads them.
struct LiveFlags {
  bool MonitoringActive = false;
  // While a poll runs the writer may be half-way through a run, so the live
  // view does not copy then.
  bool PollInProgress = false;
};

// The event log viewer without its window: live, it follows the writer's
// LogLines once a second; after "View Log File" it shows a chosen file and
// stays still until "Real Time Log". A model lives for one opening of the
// window, which only mirrors Lines(), Caption() and TextColour() and runs its
// timer while TimerRunning() says so.
class LogViewerModel {
 public:
  // Returns the file the user picked, or nothing when the dialog was
  // cancelled.
  using FileChooser = std::function<std::optional<std::filesystem::path>()>;

  // log is the writer's and must outlive the model; a file that cannot be
  // read is reported through messages.
  LogViewerModel(const EventLogState& log, Messages& messages);

  // The window is being shown: live mode with a full copy, or an empty view
  // that the first tick fills when a poll is running.
  ViewUpdate Show(LiveFlags flags);
  // The once-a-second timer: new lines are appended; a log that shrank or
  // was rewritten (a new day, another program's lines read in) is reloaded.
  // Does nothing while the timer is stopped.
  ViewUpdate Tick(LiveFlags flags);
  // "Real Time Log": back to live mode with a full reload.
  ViewUpdate RealTimeLog(bool monitoringActive);
  // "View Log File": live updates stop, whether or not a file is chosen; a
  // chosen file replaces the view.
  ViewUpdate ViewLogFile(const FileChooser& chooseFile);

  const std::vector<std::string>& Lines() const { return lines_; }
  const std::string& Caption() const { return caption_; }
  LogTextColour TextColour() const { return colour_; }
  bool TimerRunning() const { return timerRunning_; }
  // How many lines of the writer's log the live view has copied.
  std::size_t ShownLineCount() const { return shownLineCount_; }
  // The file last opened with "View Log File".
  const std::filesystem::path& ViewedFile() const { return viewedFile_; }

 private:
  void SetLiveCaption(bool monitoringActive);
  ViewUpdate CopyAll();

  const EventLogState& log_;
  Messages& messages_;
  std::vector<std::string> lines_;
  std::string caption_ = "Event Log";
  LogTextColour colour_ = LogTextColour::WindowText;
  bool timerRunning_ = false;
  std::size_t shownLineCount_ = 0;
  // The writer's Rewrites when the view was last copied in full.
  uint64_t shownRewrites_ = 0;
  std::filesystem::path viewedFile_;
};

}  // namespace px
