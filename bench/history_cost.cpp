// What the member history costs the monitor: time and bytes written per poll,
// with nothing changing and with a rebuild moving at every poll, and the
// file's size after a simulated year of polls every 4 s with a rebuild a
// month. Time is simulated; only the work is real. Plain output.
//
//   build/release/bench/history_cost [--days N]

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "history/writer.h"

namespace {

namespace fs = std::filesystem;
using namespace px::history;

constexpr int64_t kStart = 1796637600;
constexpr int64_t kPoll = 4;
constexpr uint64_t kTerabyte = 1953525168;

// Bytes this process has handed to write(2) and its kin so far.
uint64_t BytesWritten() {
  std::ifstream io("/proc/self/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "wchar:") return value;
  }
  return 0;
}

double Megabytes(const fs::path& file) {
  std::error_code error;
  const auto size = fs::file_size(file, error);
  return error ? 0.0 : static_cast<double>(size) / 1e6;
}

class Folder {
 public:
  Folder() {
    path_ =
        fs::temp_directory_path() / ("pxhistory-bench-" + std::to_string(std::random_device{}()));
    fs::create_directories(path_);
  }
  ~Folder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  fs::path File() const { return path_ / kHistoryFileName; }

 private:
  fs::path path_;
};

Observation Enclosure(const std::string& id, const std::string& p1Serial, MemberState p1) {
  Observation now;
  now.enclosureId = id;
  now.answered = true;
  now.name = "PX RAID1 Dual Bay";
  now.firmware = "140318.5";
  now.volumeSectors = kTerabyte;
  now.members = {
      MemberObservation{MemberState::Ready, "WDC WD10EZEX-00BN5A0", id + "-P0", kTerabyte},
      MemberObservation{p1, "WDC WD10EZEX-00BN5A0", p1Serial, kTerabyte}};
  return now;
}

struct Cost {
  double microsPerPoll;
  double bytesPerPoll;
};

// `polls` polls of two enclosures; `moving`: a rebuild on the first moves a
// percent at every poll.
Cost PerPoll(int64_t polls, bool moving, int64_t lastSeenEvery) {
  Folder folder;
  WriterOptions options;
  options.lastSeenEverySeconds = lastSeenEvery;
  HistoryWriter writer(folder.File(), options);
  std::vector<Observation> poll = {Enclosure("E1", "E1-P1", MemberState::Ready),
                                   Enclosure("E2", "E2-P1", MemberState::Ready)};
  int64_t time = kStart;
  const auto run = [&](int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
      time += kPoll;
      for (Observation& now : poll) now.time = time;
      if (moving)
        poll[0].rebuild =
            RebuildObservation{RebuildDirection::TowardsP1, static_cast<uint8_t>(i % 100)};
      writer.RecordPoll(poll, {});
    }
  };
  run(100);  // the file made and the memory warm
  const uint64_t bytesBefore = BytesWritten();
  const auto begin = std::chrono::steady_clock::now();
  run(polls);
  const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - begin;
  return {spent.count() / static_cast<double>(polls),
          static_cast<double>(BytesWritten() - bytesBefore) / static_cast<double>(polls)};
}

// A year as the service lives it: one mirror polled every 4 s; once a month
// P1's disk is pulled, a new one put in ten minutes later and rebuilt in
// three hours, with the events the program derives of it.
void Year(int days) {
  Folder folder;
  HistoryWriter writer(folder.File());
  const int64_t polls = int64_t{days} * 86400 / kPoll;
  const int64_t month = 30 * 86400 / kPoll;
  const int64_t pulledFor = 600 / kPoll;
  const int64_t rebuildFor = 3 * 3600 / kPoll;
  std::string serial = "E1-P1";
  int replaced = 0;
  int events = 0;
  const uint64_t bytesBefore = BytesWritten();
  const auto begin = std::chrono::steady_clock::now();
  for (int64_t i = 0; i < polls; ++i) {
    const int64_t time = kStart + i * kPoll;
    const int64_t inMonth = i % month;
    std::vector<Event> happened;
    const auto event = [&](const char* name, Severity severity, std::string message) {
      happened.push_back({"E1", time, name, severity, Port::P1, serial, std::move(message)});
    };
    Observation now = Enclosure("E1", serial, MemberState::Ready);
    if (inMonth == month / 2) {
      event("MemberRemoved", Severity::Critical,
            "D1 P1 removed: WDC WD10EZEX-00BN5A0, serial " + serial);
    }
    if (inMonth >= month / 2 && inMonth < month / 2 + pulledFor) {
      now.members[1] = MemberObservation{};
    } else if (inMonth >= month / 2 + pulledFor && inMonth < month / 2 + pulledFor + rebuildFor) {
      const int64_t into = inMonth - (month / 2 + pulledFor);
      if (into == 0) {
        serial = "NEW-" + std::to_string(++replaced);
        now.members[1].serial = serial;
        event("MemberInserted", Severity::Warning, "D1 P1 inserted, not part of the volume");
        now.members[1].state = MemberState::Inserted;
      } else {
        const auto percent = static_cast<uint8_t>(into * 100 / rebuildFor);
        now.rebuild = RebuildObservation{RebuildDirection::TowardsP1, percent};
        const auto before = static_cast<uint8_t>((into - 1) * 100 / rebuildFor);
        if (into == 1) {
          event("RebuildStarted", Severity::Info, "D1 rebuild P0 --> P1 started at 0%");
        } else if (percent != before) {
          event("RebuildProgress", Severity::Info,
                "D1 rebuild P0 --> P1 at " + std::to_string(percent) + "%");
        }
      }
    } else if (inMonth == month / 2 + pulledFor + rebuildFor) {
      event("RebuildFinished", Severity::Warning,
            "D1 rebuild P0 --> P1 finished, both members ready");
    }
    now.time = time;
    events += static_cast<int>(happened.size());
    writer.RecordPoll({&now, 1}, happened);
  }
  const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - begin;
  const double written = static_cast<double>(BytesWritten() - bytesBefore);
  std::printf("%d days of polls every 4 s (%lld polls), %d rebuilds, %d events:\n", days,
              static_cast<long long>(polls), replaced, events);
  const fs::path wal = folder.File().string() + "-wal";
  std::printf("  file %.2f MB and its log %.2f MB (goal: under 50 MB)\n", Megabytes(folder.File()),
              Megabytes(wal));
  std::printf("  %.1f MB written in all, %.3f us a poll\n", written / 1e6,
              spent.count() * 1e6 / static_cast<double>(polls));
}

}  // namespace

int main(int argc, char** argv) {
  int days = 365;
  if (argc == 3 && std::strcmp(argv[1], "--days") == 0) days = std::atoi(argv[2]);
  std::printf("Per poll of two enclosures (\"last seen\" written every 600 s, the default):\n");
  const Cost still = PerPoll(200000, false, 600);
  std::printf("  nothing changes:        %8.3f us, %8.1f bytes written\n", still.microsPerPoll,
              still.bytesPerPoll);
  const Cost moving = PerPoll(20000, true, 600);
  std::printf("  a rebuild moves a %%:    %8.3f us, %8.1f bytes written\n", moving.microsPerPoll,
              moving.bytesPerPoll);
  const Cost everyPoll = PerPoll(20000, false, kPoll);
  std::printf("  \"last seen\" every poll: %8.3f us, %8.1f bytes written\n",
              everyPoll.microsPerPoll, everyPoll.bytesPerPoll);
  Year(days);
  return 0;
}
