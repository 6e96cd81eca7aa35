#pragma once

#include <optional>
#include <string>
#include <vector>

#include "eventlog/event_log.h"

namespace px {

// The day's log that another process writes: pxraidd's, where it runs and
// the window is its client. It holds what the window's own log lacks: the
// lines from before the window started and those of the service's firmware
// jobs, whose pxraid logs into the service's folder.
class LoggedElsewhere {
 public:
  virtual ~LoggedElsewhere() = default;
  // The lines of that process's day (the day of its last poll), a file's
  // control bytes written out as \xNN; nothing when it could not be asked,
  // has no log of the day or refused to show it.
  virtual std::optional<std::vector<std::string>> DayLines() = 0;
};

// Brings `mirror`'s LogLines to `lines` as the writer changes its own: lines
// that extend those it holds are added at its end, anything else replaces
// them and counts as a rewrite. A LogViewerModel over the mirror therefore
// appends and reloads by the rules it follows over the writer.
void MirrorLines(EventLogState& mirror, std::vector<std::string> lines);

}  // namespace px
