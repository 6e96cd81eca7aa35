#include "eventlog/log_viewer_model.h"

#include "common/text.h"
#include "eventlog/log_file.h"

namespace px {

namespace {

constexpr const char* kCaptionPrefix = "Event log - ";

}  // namespace

LogViewerModel::LogViewerModel(const EventLogState& log, Messages& messages)
    : log_(log), messages_(messages) {}

void LogViewerModel::SetLiveCaption(bool monitoringActive) {
  caption_ = std::string(kCaptionPrefix) + (monitoringActive ? "Real Time" : "Real Time( Paused )");
  colour_ = monitoringActive ? LogTextColour::WindowText : LogTextColour::GrayText;
}

ViewUpdate LogViewerModel::CopyAll() {
  shownLineCount_ = log_.LogLines.size();
  shownRewrites_ = log_.Rewrites;
  lines_ = log_.LogLines;
  return ViewUpdate::Replaced;
}

ViewUpdate LogViewerModel::Show(LiveFlags flags) {
  SetLiveCaption(flags.MonitoringActive);
  timerRunning_ = true;
  if (flags.PollInProgress) {
    shownLineCount_ = 0;
    shownRewrites_ = log_.Rewrites;
    return ViewUpdate::None;
  }
  return CopyAll();
}

ViewUpdate LogViewerModel::Tick(LiveFlags flags) {
  if (!timerRunning_) return ViewUpdate::None;
  SetLiveCaption(flags.MonitoringActive);
  if (flags.PollInProgress) return ViewUpdate::None;
  if (log_.Rewrites != shownRewrites_) return CopyAll();
  const auto& logLines = log_.LogLines;
  const std::size_t count = logLines.size();
  if (shownLineCount_ < count) {
    lines_.insert(lines_.end(), logLines.begin() + static_cast<std::ptrdiff_t>(shownLineCount_),
                  logLines.end());
    shownLineCount_ = count;
    return ViewUpdate::Appended;
  }
  if (count < shownLineCount_) return CopyAll();
  return ViewUpdate::None;
}

ViewUpdate LogViewerModel::RealTimeLog(bool monitoringActive) {
  SetLiveCaption(monitoringActive);
  timerRunning_ = true;
  return CopyAll();
}

ViewUpdate LogViewerModel::ViewLogFile(const FileChooser& chooseFile) {
  timerRunning_ = false;
  const std::optional<std::filesystem::path> chosen = chooseFile();
  if (!chosen) return ViewUpdate::None;
  auto read = ReadLogLines(*chosen);
  if (!read) {
    messages_.Show("Error", "Cannot read log file " + PathText(*chosen), MessageIcon::Error);
    return ViewUpdate::None;
  }
  lines_ = std::move(*read);
  viewedFile_ = *chosen;
  caption_ = kCaptionPrefix + PathText(viewedFile_.filename());
  return ViewUpdate::Replaced;
}

}  // namespace px
