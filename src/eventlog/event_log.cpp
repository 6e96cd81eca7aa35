#include "eventlog/event_log.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <utility>

#include "common/text.h"
#include "eventlog/log_file.h"
#include "raid/device_text.h"
#include "raid/enclosure_events.h"

namespace px {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kStartRuleLength = 75;
constexpr std::size_t kEndRuleLength = 83;
// Sectors of 512 bytes to whole units of 2^30 bytes.
constexpr unsigned kGigabyteShift = 21;
// A device name is trimmed, but never below this many characters.
constexpr std::size_t kNameKeep = 6;
// An operation whose last progress line said this much ends with "Done".
constexpr uint8_t kDonePercent = 99;
// PrevPortFlags of this value has always counted as 0.
constexpr uint8_t kNoPortFlags = 0xFF;

std::string CapacityText(uint64_t sectors) {
  sectors = ShownSectors(sectors);
  return std::to_string(sectors >> kGigabyteShift) + " GB(" + std::to_string(sectors) + " Sectors)";
}

// Built by appending: GCC 12 warns falsely (-Wrestrict) about a literal
// prepended to a temporary string.
std::string DeviceName(std::size_t index) {
  std::string name = "D";
  name += std::to_string(index + 1);
  return name;
}

std::string SataText(const MemberSnapshot& member) {
  std::string text = "(SATA";
  text += std::to_string(member.linkSpeed);
  text += ')';
  return text;
}

void AppendDetails(std::vector<std::string>& lines, const MemberSnapshot& member,
                   const std::string& indent) {
  lines.push_back(indent + "Serial no.: \"" + member.serial + "\"");
  lines.push_back(indent + "Model#: " + member.model);
  lines.push_back(indent + "Capacity : " + CapacityText(member.capacitySectors));
}

// A suffix the controller never filled in reads as the factory default.
std::string RevisionSuffix(const StatusRecordView& status) {
  const auto isHexDigit = [](uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
  };
  const auto suffix = status.RevisionSuffix();
  if (suffix[0] >= 'A' && suffix[0] <= 'Z' && isHexDigit(suffix[1]) && isHexDigit(suffix[2]))
    return {static_cast<char>(suffix[0]), static_cast<char>(suffix[1]),
            static_cast<char>(suffix[2])};
  return "C00";
}

void AppendInformationBlock(std::vector<std::string>& lines, std::size_t index,
                            const ConfigRecordView& config, const StatusRecordView& status) {
  lines.push_back("Device" + std::to_string(index + 1) + " information :");
  lines.push_back("Model# " + TrimRightKeep(DeviceText(config.DeviceNameField()), kNameKeep));
  const FirmwareRevision revision = RevisionOf(config.bytes());
  std::string modeLine = std::string(ModeName(status.Mode())) + ", F/W Rev. " + revision.text;
  if (revision.printable) {
    modeLine += '.';
    modeLine += RevisionSuffix(status);
  }
  lines.push_back(modeLine);
  lines.push_back("Configured Capacity : " + CapacityText(status.VolumeCapacity()));
  for (Port port : kBothPorts) {
    const MemberSnapshot member = SnapshotOf(status.Member(port));
    const std::string name(PortName(port));
    switch (member.classes.First()) {
      case MemberClass::Off:
        lines.push_back("  " + name + " is absent. ");
        break;
      case MemberClass::Ready:
      case MemberClass::Failed:
        lines.push_back("  " + name + " is present." + SataText(member));
        AppendDetails(lines, member, "    ");
        break;
      case MemberClass::Inserted:
        lines.push_back(name + " was inserted.");
        break;
      case MemberClass::None:
        break;
    }
  }
}

// What the log last wrote of a device, as the reading its next lines are
// told against: PrevPortFlags for the members, LastPercent and ProgressPort
// for a rebuild being followed.
EnclosureSnapshot LoggedState(const PortTrackRecord& track) {
  EnclosureSnapshot logged;
  logged.present = true;
  logged.answered = true;
  const uint8_t portFlags = track.PrevPortFlags == kNoPortFlags ? 0 : track.PrevPortFlags;
  for (Port port : kBothPorts) logged.members[IndexOf(port)].classes = ClassesOf(portFlags, port);
  if (track.LastPercent != kNoProgress) {
    logged.rebuild =
        RebuildSnapshot{track.LastPercent, track.ProgressPort == 0 ? RebuildDirection::TowardsP0
                                                                   : RebuildDirection::TowardsP1};
  }
  return logged;
}

void AppendMemberLines(std::vector<std::string>& lines, const EnclosureEvent& event,
                       const std::string& timestamp) {
  const MemberSnapshot& member = *event.member;
  const std::string head = DeviceName(event.device) + " " + std::string(PortName(member.port));
  switch (event.kind) {
    case EnclosureEventKind::MemberRemoved:
      lines.push_back(head + " was removed, " + timestamp);
      break;
    case EnclosureEventKind::MemberInitialized:
      // P1's line has always had the extra comma; readers of old logs match on it.
      lines.push_back(head +
                      (member.port == Port::P0 ? " was initialized " : " was initialized, ") +
                      SataText(member) + ", " + timestamp);
      AppendDetails(lines, member, "  ");
      break;
    case EnclosureEventKind::MemberFailed:
      lines.push_back(head + " was failed, Capacity too small." + timestamp);
      AppendDetails(lines, member, "  ");
      break;
    default:
      lines.push_back(head + " was inserted, " + timestamp);
      break;
  }
}

std::string DirectionText(RebuildDirection direction) {
  return direction == RebuildDirection::TowardsP0 ? " P1 --> P0 " : " P0 --> P1 ";
}

void AppendRebuildLine(std::vector<std::string>& lines, const EnclosureEvent& event,
                       const std::string& timestamp) {
  const RebuildSnapshot& rebuild = *event.rebuild;
  const std::string device = DeviceName(event.device);
  if (event.kind != EnclosureEventKind::RebuildFinished) {
    lines.push_back(device + DirectionText(rebuild.direction) + std::to_string(rebuild.percent) +
                    "%, " + timestamp);
  } else if (rebuild.percent == kDonePercent) {
    lines.push_back(device + DirectionText(rebuild.direction) + "Done, " + timestamp);
  } else {
    lines.push_back(device + " P0 OK, P1 OK, " + timestamp);
  }
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

EventLogWriter::EventLogWriter(EventLogState& state, EnclosureSet& enclosures,
                               const RecordTables& records, std::string baseCaption,
                               fs::path directory, const DateTimeFormat& format,
                               StatusPanels& panels, Clock& clock, const AppFlags& flags)
    : state_(state),
      enclosures_(enclosures),
      records_(records),
      baseCaption_(std::move(baseCaption)),
      directory_(std::move(directory)),
      format_(format),
      panels_(panels),
      clock_(clock),
      flags_(flags),
      user_(LogUserName()) {}

struct EventLogWriter::Locks {
  Locks(const fs::path& directory, const std::string& userName, Clock& clock,
        const std::function<bool()>& giveUp)
      : folder(directory / kLogLockName, clock, kLogLockWaitMs, giveUp), user(userName) {
    // Only this user writes their own files, so a lock of their own keeps
    // two of their programs apart there, whoever keeps the folder's.
    if (folder.Taken()) own.emplace(OwnLockFile(directory, user), clock, kLogLockWaitMs, giveUp);
  }
  bool MayReplace(const fs::path& file) const {
    return folder.Held() || (own && own->Held() && IsOwnLogFile(file, user));
  }
  FileLock folder;
  std::optional<FileLock> own;
  const std::string& user;
};

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
                                      const Locks& locks) {
  const fs::path earlier = state_.LogFile;
  if (earlier.empty() || earlier == dayFile || earlier == ownFile) return;
  const std::size_t unsaved = state_.LogLines.size() - state_.SavedLines;
  if (unsaved > 0) {
    LogFileRead read = ReadLogFile(earlier);
    bool saved = false;
    if (read.outcome != LogFileRead::Outcome::Unreadable) {
      ReadIn(earlier, std::move(read.lines));
      saved = locks.MayReplace(earlier) && ReplaceLogFile(earlier, state_.LogLines);
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
  const Locks locks(directory_, user_, clock_,
                    [this] { return flags_.closing.load() || flags_.stopping.load(); });
  FinishEarlierDay(dayFile, ownFile, locks);

  fs::path file = dayFile;
  LogFileRead read;
  if (locks.folder.Taken()) {
    // Someone keeps the folder's lock (or its name) from us: the day's file
    // cannot be replaced, and monitoring must not wait for them.
    if (state_.LogFile != ownFile)
      panels_.SetText(StatusPanels::kMessagePanel,
                      "Cannot lock log folder " + PathText(directory_) + " (" +
                          locks.folder.Reason() + "); lines go to " + PathText(ownFile));
    file = ownFile;
    read = ReadLogFile(file);
  } else {
    // A day's file we cannot read holds someone's lines all the same; it is
    // left alone, and this user's own file of the day takes ours.
    read = ReadLogFile(file);
    if (read.outcome == LogFileRead::Outcome::Unreadable) {
      if (state_.LogFile != ownFile)
        panels_.SetText(StatusPanels::kMessagePanel, "Cannot read log file " + PathText(dayFile) +
                                                         " (" + read.error.message() +
                                                         "); lines go to " + PathText(ownFile));
      file = ownFile;
      read = ReadLogFile(file);
    }
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
  const std::size_t count = std::min<std::size_t>(enclosures_.Count(), kShownDevices);
  const auto statusOf = [&](std::size_t index) -> std::optional<StatusRecordView> {
    const PhysicalDrive drive = enclosures_.Drive(EnclosureSlot{index});
    if (!drive.InRange()) return std::nullopt;
    const StatusRecordView status(records_.Status(drive));
    return status.WasRead() ? std::optional(status) : std::nullopt;
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
      if (const auto status = statusOf(i))
        enclosures_[EnclosureSlot{i}].logTrack.PrevPortFlags = status->PortFlags();
  }

  std::vector<std::size_t> listed;
  for (std::size_t i = 0; i < count; ++i)
    if (((unsigned{deviceMask} >> i) & 1U) != 0 && statusOf(i)) listed.push_back(i);

  if (blockWritten) {
    for (std::size_t i : listed)
      AppendInformationBlock(lines, i,
                             ConfigRecordView(records_.Config(enclosures_.Drive(EnclosureSlot{i}))),
                             *statusOf(i));
    lines.emplace_back(kEndRuleLength, '-');
    changed = true;
  }

  for (std::size_t i : listed) {
    const StatusRecordView status = *statusOf(i);
    PortTrackRecord& track = enclosures_[EnclosureSlot{i}].logTrack;
    const uint8_t portFlags = status.PortFlags();
    // A record without port classes is no real reading; it must not end an
    // operation that is being followed.
    if (portFlags == 0 && track.LastPercent != kNoProgress) continue;
    const std::vector<EnclosureEvent> events =
        DeriveEvents(i, LoggedState(track), SnapshotOf(status, true));
    // The information block already shows the members as they are, so a run
    // that wrote one leaves their changes to the next run's comparison.
    const bool membersCompared = !blockWritten && portFlags != track.PrevPortFlags;
    if (membersCompared) {
      track.PrevPortFlags = portFlags;
      changed = true;
    }
    // Between the log's memory and an answer there is nothing of presence or
    // readability: only member and rebuild events.
    for (const EnclosureEvent& event : events) {
      if (event.member) {
        if (membersCompared) AppendMemberLines(lines, event, timestamp);
      } else if (event.rebuild) {
        AppendRebuildLine(lines, event, timestamp);
        changed = true;
        if (event.kind != EnclosureEventKind::RebuildFinished) {
          track.LastPercent = event.rebuild->percent;
          track.ProgressPort = event.rebuild->direction == RebuildDirection::TowardsP0 ? 0 : 1;
        }
      }
    }
    if (!status.RebuildRuns()) track.LastPercent = kNoProgress;
  }

  const std::size_t added = lines.size() - runStart;
  if (!changed && lines.size() == state_.SavedLines) return added;
  if (read.outcome == LogFileRead::Outcome::Unreadable) {
    panels_.SetText(StatusPanels::kMessagePanel, "Cannot read log file " + PathText(file) + " (" +
                                                     read.error.message() + "); lines kept");
  } else if (locks.MayReplace(file) && ReplaceLogFile(file, lines)) {
    state_.SavedLines = lines.size();
  } else {
    panels_.SetText(StatusPanels::kMessagePanel,
                    "Cannot write log file " + PathText(file) + " (lines kept)");
  }
  return added;
}

}  // namespace px
