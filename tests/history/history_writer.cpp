// A history writer as the monitor is one, for the tests that kill it or read
// beside it: `history_writer FILE FIRST [COUNT]` records polls FIRST, FIRST+1
// ... (COUNT of them, or until it is stopped), a minute apart by their clock.
// Each poll moves the rebuild's percentage to its number modulo 100 and
// records the event "poll N" in the same transaction; once it is committed,
// the number is printed on a line of its own.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "history/writer.h"

int main(int argc, char** argv) {
  using namespace px::history;
  if (argc < 3) {
    std::cerr << "usage: history_writer FILE FIRST [COUNT]\n";
    return 2;
  }
  const int64_t first = std::atoll(argv[2]);
  const int64_t count = argc > 3 ? std::atoll(argv[3]) : 0;
  WriterOptions options;
  options.keepEventsSeconds = 24 * 3600;
  options.notice = [](const Notice& notice) { std::cerr << notice.text << "\n"; };
  HistoryWriter writer(argv[1], options);
  if (writer.InMemory()) return 3;
  constexpr int64_t kStart = 1796637600;
  for (int64_t seq = first; count == 0 || seq < first + count; ++seq) {
    Observation now;
    now.enclosureId = "E1";
    now.time = kStart + seq * 60;
    now.answered = true;
    now.name = "PX RAID1 Dual Bay";
    now.firmware = "140318.5";
    now.volumeSectors = 1953525168;
    now.members = {MemberObservation{MemberState::Ready, "WDC", "A", 1953525168},
                   MemberObservation{MemberState::Ready, "WDC", "B", 1953525168}};
    now.rebuild = RebuildObservation{RebuildDirection::TowardsP1, static_cast<uint8_t>(seq % 100)};
    const Event event{
        "E1", now.time, "Poll", Severity::Info, std::nullopt, "", "poll " + std::to_string(seq)};
    writer.RecordPoll({&now, 1}, {&event, 1});
    const std::string line = std::to_string(seq) + "\n";
    if (::write(STDOUT_FILENO, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
      return 1;
  }
  return 0;
}
