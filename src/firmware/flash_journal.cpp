#include "firmware/flash_journal.h"

#include <algorithm>
#include <map>
#include <system_error>

#include "common/text.h"
#include "eventlog/log_file.h"

namespace px {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kFirmware = " Firmware ";
constexpr std::string_view kStarted = " started";
constexpr std::string_view kEnded = " ended";
constexpr std::string_view kEnclosure = ", enclosure ";
constexpr std::string_view kNoEnclosure = "-";
constexpr std::string_view kFile = ", file ";
constexpr std::string_view kBuilt = ", built image";
constexpr std::string_view kBackup = ", backup ";
constexpr std::string_view kNoBackup = ", no backup";

std::string_view KindWord(FlashKind kind) {
  return kind == FlashKind::Upgrade ? "upgrade" : "restore";
}

std::string Quoted(const fs::path& path) {
  std::string quoted = "\"";
  for (const char c : PathText(path)) {
    if (c == '"') quoted += '"';
    quoted += c == '\r' || c == '\n' ? '?' : c;
  }
  return quoted + '"';
}

std::string Head(const FlashRun& run, std::string_view event) {
  std::string head = "D" + std::to_string(run.device);
  head += kFirmware;
  head += KindWord(run.kind);
  head += event;
  head += kEnclosure;
  head += run.enclosure.empty() ? kNoEnclosure : std::string_view(run.enclosure);
  return head;
}

// Reads a line from the front, taking what it expects or failing.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  bool Take(std::string_view expected) {
    if (text_.substr(0, expected.size()) != expected) return false;
    text_.remove_prefix(expected.size());
    return true;
  }
  std::optional<int> Number() {
    std::size_t digits = 0;
    while (digits < text_.size() && digits < 4 && text_[digits] >= '0' && text_[digits] <= '9') {
      ++digits;
    }
    if (digits == 0) return std::nullopt;
    const int value = std::stoi(std::string(text_.substr(0, digits)));
    text_.remove_prefix(digits);
    return value;
  }
  // Up to the first of `ends`, which stays.
  std::string Word(std::string_view ends) {
    const std::size_t end = std::min(text_.find_first_of(ends), text_.size());
    std::string word(text_.substr(0, end));
    text_.remove_prefix(end);
    return word;
  }
  std::optional<std::string> Quoted() {
    if (!Take("\"")) return std::nullopt;
    std::string value;
    while (!text_.empty()) {
      const char c = text_.front();
      text_.remove_prefix(1);
      if (c != '"') {
        value += c;
      } else if (Take("\"")) {
        value += '"';
      } else {
        return value;
      }
    }
    return std::nullopt;
  }
  std::string_view rest() const { return text_; }

 private:
  std::string_view text_;
};

struct ParsedLine {
  FlashRun run;
  bool started = false;
  std::string timestamp;
};

std::optional<ParsedLine> Parse(std::string_view line) {
  Reader in(line);
  ParsedLine parsed;
  if (!in.Take("D")) return std::nullopt;
  const std::optional<int> device = in.Number();
  if (!device || !in.Take(kFirmware)) return std::nullopt;
  parsed.run.device = *device;
  if (in.Take(KindWord(FlashKind::Upgrade))) {
    parsed.run.kind = FlashKind::Upgrade;
  } else if (in.Take(KindWord(FlashKind::Restore))) {
    parsed.run.kind = FlashKind::Restore;
  } else {
    return std::nullopt;
  }
  if (in.Take(kStarted)) {
    parsed.started = true;
  } else if (!in.Take(kEnded)) {
    return std::nullopt;
  }
  if (!in.Take(kEnclosure)) return std::nullopt;
  const std::string enclosure = in.Word(",:");
  if (enclosure.empty()) return std::nullopt;
  parsed.run.enclosure = enclosure == kNoEnclosure ? std::string() : enclosure;
  if (!parsed.started) return in.Take(": ") ? std::optional(parsed) : std::nullopt;
  // Every field is there, in its place, so that whatever the timestamp
  // reads like it is never taken for one.
  const auto path = [&in](fs::path& into) {
    const std::optional<std::string> value = in.Quoted();
    if (value) into = fs::path(std::u8string(value->begin(), value->end()));
    return value.has_value();
  };
  if (in.Take(kFile) ? !path(parsed.run.file) : !in.Take(kBuilt)) return std::nullopt;
  if (parsed.run.kind == FlashKind::Upgrade &&
      (in.Take(kBackup) ? !path(parsed.run.backup) : !in.Take(kNoBackup))) {
    return std::nullopt;
  }
  if (!in.Take(", ")) return std::nullopt;
  parsed.timestamp = std::string(in.rest());
  return parsed;
}

// "261207.log"; a user's own file of the day is "261207-ann.log".
constexpr std::size_t kDayFileName = 10;

// A day's log file: its day, or nothing.
std::optional<std::string> DayOf(const std::string& name) {
  if (name.size() < kDayFileName || !name.ends_with(".log")) return std::nullopt;
  if (!std::all_of(name.begin(), name.begin() + 6, [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  if (name.size() != kDayFileName && name[6] != '-') return std::nullopt;
  return name.substr(0, 6);
}

// "disks WD-A and WD-B" of a key "WD-A_WD-B".
std::string DisksText(const std::string& enclosure) {
  const std::size_t split = enclosure.find('_');
  if (split == std::string::npos) return "disk " + enclosure;
  return "disks " + enclosure.substr(0, split) + " and " + enclosure.substr(split + 1);
}

// A path as a shell takes it: quoted when it holds anything but the plainest
// characters.
std::string Argument(const fs::path& path) {
  const std::string text = PathText(path);
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' ||
           c == '\\' || c == '.' || c == '-' || c == '_' || c == ':';
  });
  return plain ? text : "\"" + text + "\"";
}

}  // namespace

std::string FlashStartedLine(const FlashRun& run) {
  std::string line = Head(run, kStarted);
  line += run.file.empty() ? std::string(kBuilt) : std::string(kFile) + Quoted(run.file);
  if (run.kind == FlashKind::Upgrade) {
    line += run.backup.empty() ? std::string(kNoBackup) : std::string(kBackup) + Quoted(run.backup);
  }
  return line;
}

std::string FlashEndedLine(const FlashRun& run, std::string_view outcome) {
  std::string line = Head(run, kEnded);
  line += ": ";
  line += outcome;
  return line;
}

std::vector<CutShortFlash> CutShortFlashes(std::span<const std::string> lines) {
  // Each enclosure's last start, while nothing has followed it; in the
  // order the starts were written.
  std::vector<CutShortFlash> open;
  for (const std::string& line : lines) {
    const std::optional<ParsedLine> parsed = Parse(line);
    if (!parsed) continue;
    std::erase_if(open, [&](const CutShortFlash& flash) {
      return flash.run.enclosure == parsed->run.enclosure;
    });
    if (parsed->started) open.push_back({parsed->run, parsed->timestamp, line});
  }
  return open;
}

std::vector<CutShortFlash> CutShortFlashesIn(const fs::path& directory) {
  // Day by day, the day's own file before the users' files of that day.
  std::map<std::string, std::vector<fs::path>> days;
  std::error_code error;
  for (fs::directory_iterator entry(directory, error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string name = PathText(entry->path().filename());
    if (const std::optional<std::string> day = DayOf(name)) days[*day].push_back(entry->path());
  }
  std::vector<std::string> lines;
  const std::size_t skip =
      days.size() > kCutShortLookBackDays ? days.size() - kCutShortLookBackDays : 0;
  for (auto day = std::next(days.begin(), static_cast<std::ptrdiff_t>(skip)); day != days.end();
       ++day) {
    std::sort(day->second.begin(), day->second.end(), [](const fs::path& a, const fs::path& b) {
      const bool aOwn = PathText(a.filename()).size() == kDayFileName;
      const bool bOwn = PathText(b.filename()).size() == kDayFileName;
      return aOwn != bOwn ? aOwn : a < b;
    });
    for (const fs::path& file : day->second) {
      if (const std::optional<std::vector<std::string>> read = ReadLogLines(file)) {
        lines.insert(lines.end(), read->begin(), read->end());
      }
    }
  }
  return CutShortFlashes(lines);
}

std::string CutShortNotice(const CutShortFlash& flash, std::optional<EnclosureSlot> slotNow) {
  const FlashRun& run = flash.run;
  std::string text = "The firmware " + std::string(KindWord(run.kind)) + " of device " +
                     std::to_string(run.device);
  if (!run.enclosure.empty()) text += " (" + DisksText(run.enclosure) + ")";
  text += " that started " + flash.started + " was cut short";
  const bool backedUp = run.kind == FlashKind::Upgrade && !run.backup.empty();
  if (run.kind == FlashKind::Upgrade && !backedUp) text += ", with no backup made first";
  text += ": its flash may be half written. Before the enclosure is switched off, ";
  std::string command = "pxraid firmware ";
  command += backedUp || run.kind == FlashKind::Restore ? "restore" : "upgrade";
  const int device = slotNow ? static_cast<int>(slotNow->index()) + 1 : run.device;
  if (device != 1) command += " --device " + std::to_string(device);
  const fs::path& file = backedUp ? run.backup : run.file;
  command += " " + (file.empty() ? std::string("FILE") : Argument(file));
  text += backedUp                         ? "put its backup back: "
          : run.kind == FlashKind::Restore ? "restore it again: "
                                           : "upgrade it again: ";
  return text + command;
}

}  // namespace px
