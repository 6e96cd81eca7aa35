// The lines an upgrade or a restore leaves in the day's log, and what finds
// one cut short among lines anyone may have written. A line made for any run,
// whatever bytes its paths hold (a line break becomes "?"), reads back as
// that run with its timestamp; each enclosure's last start is cut short
// until a start or an end of the same enclosure follows it (an enclosure
// named "-" is the one with no member). Of any lines at all, every run found
// cut short is one of the lines, and no enclosure is found twice.
//
// Input: steps until the input ends, a step byte's low two bits saying what:
// 0 a start line, 1 an end line (each: kind and device in a byte, the
// enclosure, file, backup and timestamp as texts, an end then its outcome;
// the enclosure's bytes are taken into letters, digits, '.', '-' and '_',
// the timestamp's and outcome's line breaks into spaces; a restore's backup
// is none), 2 a line of any bytes after an "x", which no run reads as,
// 3 a line of any bytes (a text), after which only the rules that hold of
// any lines are checked.

#include <algorithm>
#include <string>
#include <vector>

#include "firmware/flash_journal.h"
#include "support.h"

namespace px::fuzz {
namespace {

namespace fs = std::filesystem;

std::string EnclosureOf(const std::string& text) {
  static constexpr char kSafe[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.-_";
  std::string key;
  for (const char c : text) key += kSafe[static_cast<unsigned char>(c) % (sizeof kSafe - 1)];
  return key;
}

std::string OneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\r', ' ');
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

fs::path PathOf(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

// What a path reads back as: its line breaks, which no line holds, as "?".
fs::path Written(const fs::path& path) {
  const std::u8string text = path.u8string();
  std::string written(text.begin(), text.end());
  std::replace(written.begin(), written.end(), '\r', '?');
  std::replace(written.begin(), written.end(), '\n', '?');
  return PathOf(written);
}

struct Start {
  FlashRun run;
  std::string timestamp;
  std::string line;
};

}  // namespace
}  // namespace px::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace px;
  using namespace px::fuzz;
  Input in(data, size);
  std::vector<std::string> lines;
  // Each enclosure's last start with nothing of it after, in the order the
  // starts were written; valid while every line is one of ours or an "x".
  std::vector<Start> open;
  bool exact = true;
  while (!in.empty()) {
    const uint8_t step = in.Byte() & 3U;
    if (step >= 2) {
      const std::string text = OneLine(in.Text());
      lines.push_back(step == 2 ? "x" + text : text);
      exact = exact && step == 2;
      continue;
    }
    const uint8_t kindAndDevice = in.Byte();
    FlashRun run;
    run.kind = (kindAndDevice & 1U) != 0 ? FlashKind::Restore : FlashKind::Upgrade;
    run.device = 1 + (kindAndDevice >> 1);
    run.enclosure = EnclosureOf(in.Text(40));
    if (run.enclosure == "-") run.enclosure.clear();
    run.file = PathOf(in.Text());
    run.backup = PathOf(in.Text());
    // A restore makes no backup, and its lines name none.
    if (run.kind == FlashKind::Restore) run.backup.clear();
    std::string timestamp = OneLine(in.Text(40));
    if (step == 0) {
      const std::string line = FlashStartedLine(run) + ", " + timestamp;
      run.file = Written(run.file);
      run.backup = Written(run.backup);
      std::erase_if(open, [&](const Start& s) { return s.run.enclosure == run.enclosure; });
      open.push_back({run, timestamp, line});
      lines.push_back(line);
    } else {
      std::erase_if(open, [&](const Start& s) { return s.run.enclosure == run.enclosure; });
      lines.push_back(FlashEndedLine(run, OneLine(in.Text(40))) + ", " + timestamp);
    }
  }

  const std::vector<CutShortFlash> found = CutShortFlashes(lines);
  for (std::size_t i = 0; i < found.size(); ++i) {
    Expect(std::find(lines.begin(), lines.end(), found[i].line) != lines.end(),
           "a run cut short is no line of the log");
    for (std::size_t j = 0; j < i; ++j) {
      Expect(found[j].run.enclosure != found[i].run.enclosure, "an enclosure found twice");
    }
  }
  if (!exact) return 0;
  Expect(found.size() == open.size(), "runs cut short: " + std::to_string(found.size()) +
                                          " found, " + std::to_string(open.size()) + " left");
  for (std::size_t i = 0; i < found.size(); ++i) {
    const FlashRun& got = found[i].run;
    const FlashRun& made = open[i].run;
    Expect(found[i].line == open[i].line, "another start line found: " + found[i].line);
    Expect(got.kind == made.kind && got.device == made.device && got.enclosure == made.enclosure &&
               got.file == made.file && got.backup == made.backup &&
               found[i].started == open[i].timestamp,
           "a start line read back otherwise: " + found[i].line);
  }
  return 0;
}
