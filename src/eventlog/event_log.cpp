#include "eventlog/event_log.h"

#include <algorithm>
#include <initializer_list>
#include <span>
#include <system_error>
#include <utility>

#include "common/bytes.h"
#include "common/text.h"
#include "eventlog/log_file.h"
#include "raid/device_text.h"

namespace px {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kStartRuleLength = 75;
constexpr std::size_t kEndRuleLength = 83;
// The log has always shown capacities from the low 40 bits of the field.
constexpr std::size_t kLoggedCapacitySize = 5;
// Sectors of 512 bytes to whole units of 2^30 bytes.
constexpr unsigned kGigabyteShift = 21;
// A device name is trimmed, but never below this many characters.
constexpr std::size_t kNameKeep = 6;
// An operation whose last progress line said this much ends with "Done".
constexpr uint8_t kDonePercent = 99;
constexpr uint8_t kBothReady = static_cast<uint8_t>(kPortReady | kPortReady << 4);

// One member disk as the log describes it.
struct Member {
  int port;
  // The member's half of PortFlags, moved to the low four bits.
  uint8_t flags;
  unsigned linkSpeed;
  std::string serial;
  std::string model;
  uint64_t sectors;
};

Member MemberOf(const Record& record, int port) {
  const bool p1 = port == 1;
  const unsigned shift = p1 ? 4 : 0;
  const auto bytes = std::span(record);
  return {
      port,
      static_cast<uint8_t>((unsigned{record[status::kPortFlags]} >> shift) & 0x0FU),
      (unsigned{record[status::kLinkSpeeds]} >> shift) & 0x0FU,
      SwapPairsToNul(
          bytes.subspan(p1 ? status::kP1Serial : status::kP0Serial, status::kSerialSize)),
      SwapPairsToNul(bytes.subspan(p1 ? status::kP1Model : status::kP0Model, status::kModelSize)),
      LoadLittleEndian(&record[p1 ? status::kP1Capacity : status::kP0Capacity],
                       kLoggedCapacitySize)};
}

// Each member is in exactly one class after a decode; should a record say
// otherwise, the log reports the first of these that is set.
uint8_t FirstClass(uint8_t flags) {
  for (uint8_t bit : {kPortOff, kPortReady, kPortFailed, kPortInserted})
    if ((flags & bit) != 0) return bit;
  return 0;
}

std::string CapacityText(uint64_t sectors) {
  return std::to_string(sectors >> kGigabyteShift) + " GB(" + std::to_string(sectors) + " Sectors)";
}

std::string PortName(const Member& member) {
  return member.port == 0 ? "P0" : "P1";
}

// Built by appending: GCC 12 warns falsely (-Wrestrict) about a literal
// prepended to a temporary string.
std::string DeviceName(std::size_t index) {
  std::string name = "D";
  name += std::to_string(index + 1);
  return name;
}

std::string SataText(const Member& member) {
  std::string text = "(SATA";
  text += std::to_string(member.linkSpeed);
  text += ')';
  return text;
}

void AppendDetails(std::vector<std::string>& lines, const Member& member,
                   const std::string& indent) {
  lines.push_back(indent + "Serial no.: \"" + member.serial + "\"");
  lines.push_back(indent + "Model#: " + member.model);
  lines.push_back(indent + "Capacity : " + CapacityText(member.sectors));
}

// A suffix the controller never filled in reads as the factory default.
std::string RevisionSuffix(const Record& record) {
  const auto isHexDigit = [](uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
  };
  const uint8_t letter = record[status::kRevisionSuffix];
  const uint8_t first = record[status::kRevisionSuffix + 1];
  const uint8_t second = record[status::kRevisionSuffix + 2];
  if (letter >= 'A' && letter <= 'Z' && isHexDigit(first) && isHexDigit(second))
    return {static_cast<char>(letter), static_cast<char>(first), static_cast<char>(second)};
  return "C00";
}

void AppendInformationBlock(std::vector<std::string>& lines, std::size_t index,
                            const Record& config, const Record& record) {
  lines.push_back("Device" + std::to_string(index + 1) + " information :");
  lines.push_back("Model# " + TrimRightKeep(SwapPairsToNul(std::span(config).subspan(
                                                config::kDeviceName, config::kDeviceNameSize)),
                                            kNameKeep));
  const FirmwareRevision revision = RevisionOf(config);
  std::string modeLine =
      std::string(ModeName(record[status::kMode])) + ", F/W Rev. " + revision.text;
  if (revision.printable) {
    modeLine += '.';
    modeLine += RevisionSuffix(record);
  }
  lines.push_back(modeLine);
  lines.push_back(
      "Configured Capacity : " +
      CapacityText(LoadLittleEndian(&record[status::kVolumeCapacity], kLoggedCapacitySize)));
  for (int port : {0, 1}) {
    const Member member = MemberOf(record, port);
    switch (FirstClass(member.flags)) {
      case kPortOff:
        lines.push_back("  " + PortName(member) + " is absent. ");
        break;
      case kPortReady:
      case kPortFailed:
        lines.push_back("  " + PortName(member) + " is present." + SataText(member));
        AppendDetails(lines, member, "    ");
        break;
      case kPortInserted:
        lines.push_back(PortName(member) + " was inserted.");
        break;
      default:
        break;
    }
  }
}

// A line only for a class the member has newly entered.
void AppendMemberChange(std::vector<std::string>& lines, std::size_t index, const Member& member,
                        uint8_t oldFlags, const std::string& timestamp) {
  const uint8_t entered = FirstClass(member.flags);
  if (entered == 0 || (oldFlags & entered) != 0) return;
  const std::string head = DeviceName(index) + " " + PortName(member);
  switch (entered) {
    case kPortOff:
      lines.push_back(head + " was removed, " + timestamp);
      break;
    case kPortReady:
      // P1's line has always had the extra comma; readers of old logs match on it.
      lines.push_back(head + (member.port == 0 ? " was initialized " : " was initialized, ") +
                      SataText(member) + ", " + timestamp);
      AppendDetails(lines, member, "  ");
      break;
    case kPortFailed:
      lines.push_back(head + " was failed, Capacity too small." + timestamp);
      AppendDetails(lines, member, "  ");
      break;
    default:
      lines.push_back(head + " was inserted, " + timestamp);
      break;
  }
}

std::string DirectionText(uint8_t progressPort) {
  return progressPort == 0 ? " P1 --> P0 " : " P0 --> P1 ";
}

// Follows a rebuild or copy between the members; true when a line was added.
bool AppendProgress(std::vector<std::string>& lines, std::size_t index, const Record& record,
                    PortTrackRecord& track, const std::string& timestamp) {
  const uint8_t progressFlags = record[status::kProgressFlags];
  const uint8_t percent = record[status::kProgress];
  if ((progressFlags & (kProgressP0 | kProgressP1)) != 0) {
    if (track.LastPercent != kNoProgress && track.LastPercent == percent) return false;
    track.LastPercent = percent;
    track.ProgressPort = (progressFlags & kProgressP0) != 0 ? 0 : 1;
    lines.push_back(DeviceName(index) + DirectionText(track.ProgressPort) +
                    std::to_string(percent) + "%, " + timestamp);
    return true;
  }
  if (track.LastPercent == kNoProgress) return false;
  const uint8_t lastPercent = std::exchange(track.LastPercent, kNoProgress);
  if ((record[status::kPortFlags] & kBothReady) != kBothReady) return false;
  if (lastPercent == kDonePercent)
    lines.push_back(DeviceName(index) + DirectionText(track.ProgressPort) + "Done, " + timestamp);
  else
    lines.push_back(DeviceName(index) + " P0 OK, P1 OK, " + timestamp);
  return true;
}

bool StartsWith(const std::vector<std::string>& lines, const std::vector<std::string>& prefix) {
  return prefix.size() <= lines.size() && std::equal(prefix.begin(), prefix.end(), lines.begin());
}

}  // namespace

void QueueLogLine(EventLogState& state, std::string line) {
  state.PendingLines.push_back(std::move(line));
  state.PendingLinesFlag = true;
}

std::string DeviceRemovedLine(const std::string& timestamp) {
  return "D1 Device was removed at " + timestamp;
}

EventLogWriter::EventLogWriter(EventLogState& state, const DeviceTable& devices,
                               const RecordTables& records, std::string baseCaption,
                               fs::path directory, const DateTimeFormat& format,
                               StatusPanels& panels)
    : state_(state),
      devices_(devices),
      records_(records),
      baseCaption_(std::move(baseCaption)),
      directory_(std::move(directory)),
      format_(format),
      panels_(panels),
      user_(LogUserName()) {}

std::size_t UnsavedLineCount(const EventLogState& state) {
  return state.LogLines.size() - state.SavedLines + state.LostLines;
}

void EventLogWriter::ReadIn(const fs::path& file, std::vector<std::string> fileLines) {
  auto& lines = state_.LogLines;
  const std::size_t saved = fileLines.size();
  fileLines.insert(fileLines.end(), lines.begin() + static_cast<std::ptrdiff_t>(state_.SavedLines),
                   lines.end());
  if (!StartsWith(fileLines, lines)) ++state_.Rewrites;
  lines = std::move(fileLines);
  state_.SavedLines = saved;
  state_.LogFile = file;
}

void EventLogWriter::FinishEarlierDay(const fs::path& dayFile, const fs::path& ownFile,
                                      const LogFolderLock& lock) {
  const fs::path earlier = state_.LogFile;
  if (earlier.empty() || earlier == dayFile || earlier == ownFile) return;
  const std::size_t unsaved = state_.LogLines.size() - state_.SavedLines;
  if (unsaved > 0) {
    LogFileRead read = ReadLogFile(earlier);
    bool saved = false;
    if (read.outcome != LogFileRead::Outcome::Unreadable) {
      ReadIn(earlier, std::move(read.lines));
      saved = lock.Held() && ReplaceLogFile(earlier, state_.LogLines);
    }
    if (!saved) {
      state_.LostLines += unsaved;
      panels_.SetText(StatusPanels::kMessagePanel, "Cannot write log file " + PathText(earlier) +
                                                       " (" + std::to_string(unsaved) +
                                                       " lines lost)");
    }
  }
  if (!state_.LogLines.empty()) ++state_.Rewrites;
  state_.LogLines.clear();
  state_.SavedLines = 0;
  state_.LogFile.clear();
}

std::size_t EventLogWriter::WriteEventLog(uint8_t deviceMask, const EventLogRun& run) {
  auto& lines = state_.LogLines;
  const std::string timestamp = FormatTimestamp(run.Now, format_);
  const fs::path dayFile = directory_ / LogFileName(run.Now);
  const fs::path ownFile = OwnLogFile(dayFile, user_);
  bool changed = false;
  bool blockWritten = false;

  // Held from reading the file to replacing it: whatever another program
  // logs into this folder meanwhile waits, and is read in by our next run.
  const LogFolderLock lock(directory_);
  FinishEarlierDay(dayFile, ownFile, lock);

  // A day's file we cannot read holds someone's lines all the same; it is
  // left alone, and this user's own file of the day takes ours.
  fs::path file = dayFile;
  LogFileRead read = ReadLogFile(file);
  if (read.outcome == LogFileRead::Outcome::Unreadable) {
    if (state_.LogFile != ownFile)
      panels_.SetText(StatusPanels::kMessagePanel, "Cannot read log file " + PathText(dayFile) +
                                                       " (" + read.reason + "); lines go to " +
                                                       PathText(ownFile));
    file = ownFile;
    read = ReadLogFile(file);
  }
  // A missing file starts a new day, unless lines of ours are waiting for it:
  // then it is only one we could not write yet.
  const bool unsaved = lines.size() > state_.SavedLines;
  const bool newDay = read.outcome == LogFileRead::Outcome::Missing && !unsaved;
  if (newDay) {
    if (!lines.empty()) ++state_.Rewrites;
    lines.clear();
    state_.SavedLines = 0;
    state_.LogFile = file;
  } else if (read.outcome != LogFileRead::Outcome::Unreadable) {
    ReadIn(file, std::move(read.lines));
  } else {
    // Our own file cannot be read either: our lines wait in memory for it.
    state_.LogFile = file;
  }
  const std::size_t runStart = lines.size();
  if (newDay) {
    if (!run.FirstDisplay && !run.Redetected) lines.emplace_back(kStartRuleLength, '-');
    blockWritten = true;
  }

  if (state_.PendingLinesFlag) {
    lines.insert(lines.end(), state_.PendingLines.begin(), state_.PendingLines.end());
    state_.PendingLines.clear();
    state_.PendingLinesFlag = false;
    changed = true;
  }

  // Devices whose status has been read at least once, in index order.
  const std::size_t count = std::min<std::size_t>(devices_.DeviceCount, kShownDevices);
  const auto statusOf = [&](std::size_t index) -> const Record* {
    const uint32_t drive = DriveOf(devices_.DeviceSlot[index]);
    if (drive >= kPhysicalDrives) return nullptr;
    const Record& record = records_.StatusRecord[drive];
    return record[status::kType] == kRecordValid ? &record : nullptr;
  };

  if (run.FirstDisplay || run.Redetected) {
    lines.emplace_back(kStartRuleLength, '-');
    lines.push_back(baseCaption_ +
                    (run.FirstDisplay ? " has started from " : " has re-started from ") +
                    timestamp);
    blockWritten = true;
    // Whatever the devices look like now is where the next run compares from,
    // so a start or a re-detection writes no change lines of its own.
    for (std::size_t i = 0; i < count; ++i)
      if (const Record* record = statusOf(i))
        state_.PortTrack[i].PrevPortFlags = (*record)[status::kPortFlags];
  }

  std::vector<std::size_t> listed;
  for (std::size_t i = 0; i < count; ++i)
    if (((unsigned{deviceMask} >> i) & 1U) != 0 && statusOf(i) != nullptr) listed.push_back(i);

  if (blockWritten) {
    for (std::size_t i : listed)
      AppendInformationBlock(lines, i, records_.ConfigRecord[DriveOf(devices_.DeviceSlot[i])],
                             *statusOf(i));
    lines.emplace_back(kEndRuleLength, '-');
    changed = true;
  }

  for (std::size_t i : listed) {
    const Record& record = *statusOf(i);
    PortTrackRecord& track = state_.PortTrack[i];
    const uint8_t portFlags = record[status::kPortFlags];
    // A record without port classes is no real reading; it must not end an
    // operation that is being followed.
    if (portFlags == 0 && track.LastPercent != kNoProgress) continue;
    if (!blockWritten && portFlags != track.PrevPortFlags) {
      const uint8_t old = track.PrevPortFlags == 0xFF ? 0 : track.PrevPortFlags;
      track.PrevPortFlags = portFlags;
      changed = true;
      for (int port : {0, 1})
        AppendMemberChange(lines, i, MemberOf(record, port),
                           static_cast<uint8_t>(old >> (port * 4) & 0x0F), timestamp);
    }
    if (AppendProgress(lines, i, record, track, timestamp)) changed = true;
  }

  const std::size_t added = lines.size() - runStart;
  if (!changed && lines.size() == state_.SavedLines) return added;
  if (read.outcome == LogFileRead::Outcome::Unreadable) {
    panels_.SetText(StatusPanels::kMessagePanel, "Cannot read log file " + PathText(file) + " (" +
                                                     read.reason + "); lines kept");
  } else if (lock.Held() && ReplaceLogFile(file, lines)) {
    state_.SavedLines = lines.size();
  } else {
    panels_.SetText(StatusPanels::kMessagePanel,
                    "Cannot write log file " + PathText(file) + " (lines kept)");
  }
  return added;
}

}  // namespace px
