// The day's log file, kept by two programs at once (the window and a
// monitor logging into one folder), with whatever else ends up in it, and
// the viewer following it. After every run of a writer the file holds the
// lines it held before, in order, then that writer's lines; every line a
// writer logged is in the file exactly once; reading the file gives back
// the writer's lines. The live view shows the writer's lines once the timer
// has ticked; a file viewed shows that file's lines.
//
// Input: the day's file as it is at the start (a flag, then a length (2
// bytes) and its bytes), then steps until the input ends, a step byte's low
// three bits saying what, bit 3 which program: 0 a line queued (a text), 1 a
// run of the writer (a byte: bit 0 the start block, bit 1 the restart block,
// bits 2-3 the day, bits 4-7 the seconds), 2 bytes added to the file by
// someone else (a length byte and the bytes), 3 the viewer opened (a flags
// byte: bit 0 monitoring, bit 1 a poll running), 4 a timer tick (flags), 5
// "Real Time Log" (flags), 6 "View Log File" (a byte: 0 cancelled, 1 the day's
// file, 2 a file that is not there, 3 another day's file), 7 a device's
// status changed (the device, PortFlags and ProgressFlags, percentage).

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "eventlog/event_log.h"
#include "eventlog/log_file.h"
#include "eventlog/log_viewer_model.h"
#include "raid/device_table.h"
#include "raid/records.h"
#include "support.h"
#include "support/recording_ui.h"
#include "unit/eventlog/log_test_support.h"

namespace px::fuzz {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kPrograms = 2;

std::vector<std::string> FileLines(const fs::path& file) {
  const std::vector<uint8_t> bytes = ReadFile(file);
  return SplitLines(std::string(bytes.begin(), bytes.end()));
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string bytes;
  for (const std::string& line : lines) bytes += line + "\r\n";
  return bytes;
}

LogTime Day(uint8_t run) {
  LogTime time{2026, 12, 7 + ((run >> 2) & 3), 10, 0, (run >> 4) & 15};
  // Midnight now and then: the timestamp is then the date alone.
  if (time.second == 15) time.hour = time.second = 0;
  return time;
}

// One program that logs: its tables, its writer, the lines it was asked to
// log (each marked as its own, so that it can be found in the file).
struct Program {
  Program(int id, const fs::path& folder)
      : writer(state, enclosures, records, "Utitity v0.50.4", folder, format, panels, clock, flags),
        tag(id) {}

  EventLogState state;
  DeviceTable devices;
  EnclosureSet enclosures{devices};
  RecordTables records;
  test::FixedFormat format;
  test::RecordingPanels panels;
  // The programs take turns: neither ever waits for the other's lock.
  SteadyClock clock;
  AppFlags flags;
  EventLogWriter writer;
  int tag;
  int queued = 0;
  std::vector<std::string> waiting;  // queued, not yet taken by a run
  // Queued lines a run has taken, with the file it put them in.
  std::vector<std::pair<fs::path, std::string>> logged;
};

// Every line a program logged is in its file once, in the order logged.
void CheckAllThere(const Program& program) {
  std::map<fs::path, std::vector<std::string>> files;
  std::map<fs::path, std::size_t> next;
  for (const auto& [file, line] : program.logged) {
    if (!files.count(file)) files[file] = FileLines(file);
    const std::vector<std::string>& lines = files[file];
    const auto found =
        std::find(lines.begin() + static_cast<std::ptrdiff_t>(next[file]), lines.end(), line);
    Expect(found != lines.end(), "a line logged is not in its file, or out of order: " + line);
    Expect(std::count(lines.begin(), lines.end(), line) == 1,
           "a line logged is in its file more than once: " + line);
    next[file] = static_cast<std::size_t>(found - lines.begin()) + 1;
  }
}

struct Viewer {
  std::unique_ptr<LogViewerModel> model;
  bool live = false;
};

LiveFlags Flags(uint8_t byte) {
  return {(byte & 1U) != 0, (byte & 2U) != 0};
}

void CheckLiveCaption(const LogViewerModel& model, bool monitoring) {
  Expect(
      model.Caption() == (monitoring ? "Event log - Real Time" : "Event log - Real Time( Paused )"),
      "live caption: " + model.Caption());
  Expect(model.TextColour() == (monitoring ? LogTextColour::WindowText : LogTextColour::GrayText),
         "live text colour");
}

}  // namespace
}  // namespace px::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace px;
  using namespace px::fuzz;
  Input in(data, size);
  const fs::path folder = ScratchFolder() / "log";
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  fs::create_directories(folder);

  const fs::path firstDay = folder / LogFileName(Day(0));
  if (in.Flag()) {
    // Whatever the file holds, it holds no line a program will log: the
    // mark of those is theirs alone.
    const uint16_t length = in.U16();
    const std::span<const uint8_t> given = in.Bytes(length);
    std::vector<uint8_t> bytes(given.begin(), given.end());
    std::replace(bytes.begin(), bytes.end(), uint8_t{0x01}, uint8_t{'.'});
    WriteFile(firstDay, bytes);
  }
  std::array<std::unique_ptr<Program>, kPrograms> programs;
  for (std::size_t i = 0; i < kPrograms; ++i)
    programs[i] = std::make_unique<Program>(static_cast<int>(i), folder);
  test::RecordingMessages messages;
  Viewer viewer;

  while (!in.empty()) {
    const uint8_t step = in.Byte();
    Program& program = *programs[(step >> 3) & 1U];
    switch (step & 7U) {
      case 0: {
        // The program's own lines never hold a line break.
        std::string text = in.Text(40);
        std::replace(text.begin(), text.end(), '\r', ' ');
        std::replace(text.begin(), text.end(), '\n', ' ');
        const std::string line = "\x01" + std::to_string(program.tag) + "." +
                                 std::to_string(++program.queued) + " " + text;
        program.waiting.push_back(line);
        QueueLogLine(program.state, line);
        break;
      }
      case 1: {
        const uint8_t runByte = in.Byte();
        const EventLogRun run{Day(runByte), (runByte & 1U) != 0, (runByte & 2U) != 0};
        const fs::path file = folder / LogFileName(run.Now);
        const std::vector<uint8_t> beforeBytes = ReadFile(file);
        const std::vector<std::string> before = FileLines(file);
        const std::size_t added = program.writer.WriteEventLog(0xF, run);
        const std::vector<std::string>& lines = program.state.LogLines;
        Expect(program.state.LogFile == file, "the writer keeps another file than the day's");
        Expect(added <= lines.size(), "more lines added than the log holds");
        Expect(program.state.SavedLines == lines.size() && UnsavedLineCount(program.state) == 0,
               "a run in a writable folder left lines unsaved");
        const std::vector<std::string> after = FileLines(file);
        Expect(after == lines, "the day's file is not the writer's lines");
        const std::string joined = Joined(lines);
        // A run that wrote the file wrote it whole, every line followed by
        // CR LF; one with nothing to add leaves it as it was.
        const std::vector<uint8_t> bytes = ReadFile(file);
        Expect(added == 0 || bytes != beforeBytes, "a run added lines but did not save them");
        if (bytes != beforeBytes && bytes != std::vector<uint8_t>(joined.begin(), joined.end())) {
          const auto differ =
              std::mismatch(bytes.begin(), bytes.end(), joined.begin(), joined.end());
          Fail("the day's file is not each line followed by CR LF, from byte " +
               std::to_string(differ.first - bytes.begin()) + " of " +
               std::to_string(bytes.size()));
        }
        Expect(before.size() <= after.size() &&
                   std::equal(before.begin(), before.end(), after.begin()),
               "a line of the file was lost or changed by a run");
        // The lines queued since the last run are among the new ones, in order.
        const std::vector<std::string> taken(lines.end() - static_cast<std::ptrdiff_t>(added),
                                             lines.end());
        auto from = taken.begin();
        for (const std::string& line : program.waiting) {
          from = std::find(from, taken.end(), line);
          Expect(from != taken.end(), "a queued line is not among the lines added: " + line);
        }
        for (const std::string& line : program.waiting) program.logged.emplace_back(file, line);
        program.waiting.clear();
        for (const auto& p : programs) CheckAllThere(*p);
        break;
      }
      case 2: {
        // Someone else's bytes at the end of a program's file.
        const fs::path file = program.state.LogFile.empty() ? firstDay : program.state.LogFile;
        std::vector<uint8_t> bytes = ReadFile(file);
        for (const char c : in.Text()) bytes.push_back(c == '\x01' ? '.' : static_cast<uint8_t>(c));
        WriteFile(file, bytes);
        break;
      }
      case 3: {
        const LiveFlags flags = Flags(in.Byte());
        viewer.model = std::make_unique<LogViewerModel>(programs[0]->state, messages);
        viewer.model->Show(flags);
        viewer.live = true;
        CheckLiveCaption(*viewer.model, flags.MonitoringActive);
        Expect(flags.PollInProgress ? viewer.model->Lines().empty()
                                    : viewer.model->Lines() == programs[0]->state.LogLines,
               "the viewer as it opens");
        break;
      }
      case 4:
      case 5: {
        const LiveFlags flags = Flags(in.Byte());
        if (!viewer.model) break;
        const std::vector<std::string> shown = viewer.model->Lines();
        const std::string caption = viewer.model->Caption();
        const bool tick = (step & 7U) == 4;
        if (tick) {
          viewer.model->Tick(flags);
        } else {
          viewer.model->RealTimeLog(flags.MonitoringActive);
          viewer.live = true;
        }
        if (!viewer.live) {
          Expect(viewer.model->Lines() == shown && viewer.model->Caption() == caption,
                 "a tick changed a file being viewed");
        } else if (tick && flags.PollInProgress) {
          Expect(viewer.model->Lines() == shown, "the view changed while a poll ran");
        } else {
          CheckLiveCaption(*viewer.model, flags.MonitoringActive);
          Expect(viewer.model->Lines() == programs[0]->state.LogLines,
                 "the live view is not the writer's log");
        }
        break;
      }
      case 6: {
        const uint8_t choice = in.Byte() % 4;
        if (!viewer.model) break;
        const std::vector<std::string> shown = viewer.model->Lines();
        const std::string caption = viewer.model->Caption();
        const std::size_t boxes = messages.boxes().size();
        std::optional<fs::path> chosen;
        if (choice == 1)
          chosen = programs[0]->state.LogFile.empty() ? firstDay : programs[0]->state.LogFile;
        if (choice == 2) chosen = folder / "missing.log";
        if (choice == 3) chosen = folder / LogFileName(Day(0));
        viewer.model->ViewLogFile([&] { return chosen; });
        viewer.live = false;
        Expect(!viewer.model->TimerRunning(), "live updates go on after \"View Log File\"");
        if (chosen && fs::exists(*chosen)) {
          Expect(viewer.model->Lines() == FileLines(*chosen), "the file viewed");
          Expect(viewer.model->Caption() == "Event log - " + chosen->filename().string(),
                 "the caption of a file viewed: " + viewer.model->Caption());
        } else {
          Expect(viewer.model->Lines() == shown && viewer.model->Caption() == caption,
                 "the view changed without a file to show");
          Expect(messages.boxes().size() == boxes + (chosen ? 1 : 0),
                 "a file that cannot be read is told in one box");
        }
        break;
      }
      default: {
        // A device of this program's, as its poll left it.
        const std::size_t device = in.Byte() % kShownDevices;
        program.devices.DeviceCount =
            std::max<uint32_t>(program.devices.DeviceCount, static_cast<uint32_t>(device + 1));
        program.devices.DeviceSlot[device] = kEntryEnclosure | static_cast<uint32_t>(device);
        Record& record = program.records.Status(program.devices.Drive(EnclosureSlot{device}));
        record[status::kType] = kRecordValid;
        record[status::kPortFlags] = in.Byte();
        record[status::kProgressFlags] = in.Byte();
        record[status::kProgress] = in.Byte();
        break;
      }
    }
  }
  for (const auto& program : programs) CheckAllThere(*program);
  return 0;
}
