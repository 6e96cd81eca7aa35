#include "monitor/member_history.h"

// A build without SQLite (the Windows one, so far) keeps no member history.

namespace px::monitor {

namespace fs = std::filesystem;

fs::path DefaultHistoryFile(const fs::path& /*logDirectory*/) {
  return {};
}

struct MemberHistory::Writer {};

MemberHistory::MemberHistory(const fs::path& /*file*/, Say /*say*/) {}

MemberHistory::~MemberHistory() = default;

PollOutcome MemberHistory::Record(std::span<const PolledEnclosure> /*enclosures*/,
                                  const std::vector<EnclosureEvent>& /*events*/, int64_t /*now*/) {
  return {};
}

}  // namespace px::monitor
