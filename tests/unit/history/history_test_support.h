#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "history/observation.h"
#include "history/writer.h"
#include "unit/eventlog/log_test_support.h"

namespace px::history::test {

// A folder the history takes whatever the umask: writable by us alone.
class TempDir : public px::test::TempDir {
 public:
  TempDir() { std::filesystem::permissions(path(), std::filesystem::perms(0755)); }
};

inline constexpr uint64_t kTerabyte = 1953525168;
inline constexpr int64_t kStart = 1796637600;  // 2026-12-07 10:00:00 UTC
inline constexpr int64_t kPollSeconds = 4;

inline MemberObservation Disk(std::string serial, uint64_t sectors = kTerabyte,
                              MemberState state = MemberState::Ready) {
  return {state, "WDC WD10EZEX-00BN5A0", std::move(serial), sectors};
}

inline MemberObservation Inserted(MemberObservation disk) {
  disk.state = MemberState::Inserted;
  return disk;
}

inline MemberObservation Failed(MemberObservation disk) {
  disk.state = MemberState::Failed;
  return disk;
}

inline MemberObservation Gone() {
  return {};
}

// A healthy mirror of two 1 TB disks.
inline Observation Mirror(std::string id, MemberObservation p0, MemberObservation p1) {
  Observation observation;
  observation.enclosureId = std::move(id);
  observation.answered = true;
  observation.name = "PX RAID1 Dual Bay";
  observation.firmware = "140318.5";
  observation.mode = kModeMirror;
  observation.volumeSectors = kTerabyte;
  observation.members = {std::move(p0), std::move(p1)};
  return observation;
}

// Notices as the writer gave them.
struct NoticeLog {
  std::vector<Notice> notices;
  WriterOptions Options() {
    WriterOptions options;
    options.notice = [this](const Notice& notice) { notices.push_back(notice); };
    return options;
  }
};

inline std::filesystem::path HistoryIn(const TempDir& dir) {
  return dir.path() / kHistoryFileName;
}

}  // namespace px::history::test
