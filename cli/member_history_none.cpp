#include <cstdlib>

#include "cli/commands.h"
#include "cli/member_history.h"

// A build without SQLite (the Windows one, so far) keeps no member history.

namespace px::cli {

using monitor::StatusReports;

namespace fs = std::filesystem;

void EstimateFromHistory(const fs::path& /*file*/, StatusReports& /*reports*/) {}

namespace {
constexpr char kNoHistory[] = "this build keeps no member history (it was built without SQLite)";
}  // namespace

fs::path MonitorHistoryFile(const MonitorOptions& /*options*/, const fs::path& /*logDirectory*/) {
  return {};
}

HistoryAnswer AnswerHistory(const HistoryOptions& /*options*/, const fs::path& /*file*/) {
  return {std::nullopt, kNoHistory, false};
}

int RunHistory(const HistoryOptions& /*options*/) {
  Complain(kNoHistory);
  return kExitFailed;
}

}  // namespace px::cli
