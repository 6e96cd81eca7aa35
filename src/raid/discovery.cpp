#include "raid/discovery.h"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "common/text.h"
#include "raid/polled_elsewhere.h"
#include "raid/record_views.h"

namespace px {
namespace {

// Status-bar panels the probe reports its steps in.
constexpr int kStagePanel = 2;
constexpr int kDrivePanel = 3;

// Vendor and product identification of the INQUIRY data.
constexpr std::size_t kInquiryTextOffset = 8;
constexpr std::size_t kInquiryTextSize = 24;

bool IsEnclosureProduct(const ConfigRecordView& config) {
  const auto code = config.ProductCode();
  return code[1] == 0 && (code[0] == 0x50 || code[0] == 0x05);
}

// Vendor and product arrive as two space-padded fields; joining them with
// single spaces gives a name that reads well. A run that reaches the end is
// padding anyway and is kept as it is.
void CollapseSpaceRuns(std::span<uint8_t> text) {
  std::vector<uint8_t> out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != ' ') {
      out.push_back(text[i++]);
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && text[end] == ' ') ++end;
    if (end == text.size()) break;
    out.push_back(' ');
    i = end;
  }
  out.resize(text.size(), ' ');
  std::copy(out.begin(), out.end(), text.begin());
}

// A status bar that keeps its texts, to show them later in their order.
class KeptPanels final : public StatusPanels {
 public:
  void SetText(int panel, std::string_view text) override { texts_.emplace_back(panel, text); }
  void ShowOn(StatusPanels& panels) const {
    for (const auto& [panel, text] : texts_) panels.SetText(panel, text);
  }

 private:
  std::vector<std::pair<int, std::string>> texts_;
};

}  // namespace

uint32_t DriveDiscovery::ListLogicalDrives() {
  Transport& transport = ctx_.channel.access().transport();
  transport.Refresh();
  // Drive C is the first letter a disk can have.
  uint32_t bits = transport.LogicalDriveMask() >> 2;
  std::array<char, kMaxDriveLetters + 1> letters{};
  uint32_t count = 0;
  for (char letter = 'C'; bits != 0 && count < kMaxDriveLetters; ++letter, bits >>= 1) {
    if ((bits & 1) != 0) letters[count++] = letter;
  }
  std::lock_guard lock(ctx_.detection.volumesMutex);
  ctx_.detection.DriveLetters = letters;
  return count;
}

uint32_t DriveDiscovery::CountPhysicalDrives() {
  uint32_t count = 0;
  for (uint32_t n = 0; n < kPhysicalDrives; ++n) {
    const ScopedDevice drive(ctx_.channel.access(), PhysicalDrive(n));
    if (drive.valid()) ++count;
  }
  return count;
}

int DriveDiscovery::DescribeVolumes() {
  DetectionState& detection = ctx_.detection;
  Transport& transport = ctx_.channel.access().transport();
  std::array<char, kMaxDriveLetters + 1> letters;
  std::array<VolumeEntry, kVolumeEntries> table;
  {
    // Work on copies, so the window is never held up by a slow volume.
    std::lock_guard lock(detection.volumesMutex);
    letters = detection.DriveLetters;
    table = detection.VolumeTable;
  }
  const uint32_t count = std::min<uint32_t>(detection.LetterCount.load(), kMaxDriveLetters);
  // The terminator also ends the list: the window may have listed fewer
  // letters than LetterCount says while this detection was being started.
  for (uint32_t i = 0; i < count && letters[i] != 0; ++i) {
    if (i == kVolumeEntries) {
      ctx_.messages.Show("", "Drive Count Must less than 20.", MessageIcon::None);
      break;
    }
    VolumeEntry& volume = table[i];
    volume.Letter = letters[i];
    volume.DriveType = transport.DriveType(volume.Letter);
    const ScopedDevice handle(ctx_.channel.access(), static_cast<int8_t>(volume.Letter));
    if (!handle.valid()) {
      volume.DriveType = kVolumeOpenFailed;
      continue;
    }
    // A volume over two disks has no single first extent; it keeps what the
    // last detection found.
    if (const auto extent = transport.FirstExtent(handle.get())) {
      volume.DiskNumber = static_cast<uint8_t>(extent->diskNumber);
      volume.StartingOffset = extent->startingOffset;
      volume.ExtentLength = extent->extentLength;
    }
  }
  std::lock_guard lock(detection.volumesMutex);
  detection.VolumeTable = table;
  return 1;
}

// The drives a walk over the drive numbers will probe, each started ahead of
// the walk on a thread of its own. Each has a channel of its own, so no
// command record is shared between commands under way, and every command
// still claims its drive from the other programs as it always does; the
// drive's records are copies and its status bar keeps its texts. The walk
// takes the probes in drive order. One it never gets to (past the eighth
// enclosure, or once the application closes) is waited for and dropped, so
// nothing of it reaches the tables.
class DriveDiscovery::ProbeAhead {
 public:
  ProbeAhead(DriveDiscovery& discovery, const ProbeOptions& options, uint32_t physicalCount)
      : discovery_(discovery) {
    // The walk's own rules for which drives it examines, so that exactly the
    // drives it will ask for are probed.
    uint32_t examined = 0;
    for (uint32_t n = 0; n < kPhysicalDrives; ++n) {
      const PhysicalDrive k(n);
      if (discovery.ctx_.flags.closing.load()) break;
      if (!options.Covers(k)) continue;
      presence_[n] = discovery.LookAt(k);
      if (presence_[n] == DrivePresence::Missing) continue;
      if (presence_[n] == DrivePresence::Kept) {
        ++examined;
        continue;
      }
      Start(k);
      if (++examined >= physicalCount) break;
    }
  }

  DrivePresence Presence(PhysicalDrive k) const { return presence_[k.number()]; }

  // Waits for drive k's probe, shows what it showed and keeps its records.
  DriveFindings Take(PhysicalDrive k) {
    Probe& probe = *probes_[k.number()];
    probe.thread.join();
    RaidContext& ctx = discovery_.ctx_;
    probe.panels.ShowOn(ctx.panels);
    ctx.records.Config(k) = probe.config;
    ctx.records.Status(k) = probe.status;
    return probe.found;
  }

 private:
  // A probe that is never taken (past the eighth enclosure, or once the
  // application closes) is waited for as it goes: its thread is the last
  // member, so it ends before the rest is gone.
  struct Probe {
    Record config{};
    Record status{};
    KeptPanels panels;
    DriveFindings found;
    std::jthread thread;
  };

  void Start(PhysicalDrive k) {
    RaidContext& ctx = discovery_.ctx_;
    probes_[k.number()] = std::make_unique<Probe>();
    Probe& probe = *probes_[k.number()];
    probe.config = ctx.records.Config(k);
    probe.status = ctx.records.Status(k);
    probe.thread = std::jthread([this, &probe, k] {
      RaidContext& shared = discovery_.ctx_;
      // A failed read says so on this probe's status bar, in its place
      // among the probe's other texts.
      DeviceAccess access(shared.channel.access().transport(), probe.panels);
      CommandChannel channel(access, shared.channel.clock(), {}, shared.flags);
      probe.found = discovery_.ProbeDrive(k, {channel, probe.panels, probe.config, probe.status});
    });
  }

  DriveDiscovery& discovery_;
  std::array<DrivePresence, kPhysicalDrives> presence_{};
  std::array<std::unique_ptr<Probe>, kPhysicalDrives> probes_;
};

DriveDiscovery::DrivePresence DriveDiscovery::LookAt(PhysicalDrive k) {
  if (underFirmwareWork_ == k) return DrivePresence::Kept;
  const ScopedDevice drive(ctx_.channel.access(), k);
  return drive.valid() ? DrivePresence::Opens : DrivePresence::Missing;
}

DetectionReport DriveDiscovery::ProbePhysicalDrives(const ProbeOptions& options) {
  DeviceTable& devices = ctx_.devices;
  StatusPanels& panels = ctx_.panels;
  DetectionReport report{0, 0, ctx_.detection.PhysicalDriveCount.load()};
  ctx_.detection.BusyDrives = 0;
  // Firmware work names a slot; the drive kept from knocks is the one that
  // slot's entry names, read before this detection rewrites the entries. (A
  // drive number is no slot: the enclosures are drives 0, 1, ... only where
  // no plain disk comes first.)
  underFirmwareWork_.reset();
  if (const uint32_t slot = devices.UpgradeSlot.load();
      !ctx_.monitor.FirstDisplay.load() && slot < kDeviceSlots &&
      (devices.DeviceSlot[slot].load() & kEntryEnclosure) != 0) {
    underFirmwareWork_ = devices.Drive(EnclosureSlot{slot});
  }
  std::optional<ProbeAhead> ahead;
  if (options.order == ProbeOrder::SideBySide) ahead.emplace(*this, options, report.physicalDrives);
  uint32_t& count = report.enclosures;
  uint32_t examined = 0;
  // The table holds eight devices; a ninth enclosure would run past it.
  for (uint32_t n = 0; n < kPhysicalDrives && count < kDeviceSlots; ++n) {
    const PhysicalDrive k(n);
    if (ctx_.flags.closing.load()) return report;
    if (!options.Covers(k)) continue;
    const DrivePresence presence = ahead ? ahead->Presence(k) : LookAt(k);
    // A device under firmware work must not see a knock: it keeps its entry
    // from the last detection unprobed.
    if (presence == DrivePresence::Kept) {
      devices.DeviceSlot[count++] = EnclosureEntry(k);
      ++examined;
      continue;
    }
    panels.SetText(kDrivePanel, std::to_string(n));
    if (presence == DrivePresence::Missing) continue;
    panels.SetText(kDrivePanel, std::to_string(n) + ", 1OK");
    const DriveFindings found =
        ahead ? ahead->Take(k)
              : ProbeDrive(k, {ctx_.channel, panels, ctx_.records.ConfigRecord[n],
                               ctx_.records.StatusRecord[n]});
    if (found.busy) {
      const auto bit = static_cast<uint16_t>(1U << n);
      report.busyDrives |= bit;
      ctx_.detection.BusyDrives.fetch_or(bit);
    }
    if (Place(k, found, count)) ++count;
    if (++examined >= report.physicalDrives) break;
  }
  panels.SetText(kStagePanel, "De, " + std::to_string(count) + ", OK");
  return report;
}

DriveDiscovery::DriveFindings DriveDiscovery::ProbeDrive(PhysicalDrive k,
                                                         const ProbeTarget& target) {
  CommandChannel& channel = target.channel;
  DriveFindings found;
  target.panels.SetText(kStagePanel, "Mode 1");
  const CommandResult presence = channel.QueryController(k, kQueryPresence, target.config);
  target.panels.SetText(kStagePanel, "Mode 2");
  std::optional<CommandResult> identity;  // asked only of what answered the first
  if (presence.Answered()) {
    PauseBeforeQuery(ctx_);
    identity = channel.QueryController(k, kQueryIdentity, target.config);
    if (identity->Answered()) {
      const ConfigRecordEditor identityRecord(target.config);
      identityRecord.KeepSentVersion();
      found.enclosure = IsEnclosureProduct(identityRecord);
    }
  }
  if (presence.Is(ChannelFailure::DriveBusy) ||
      (identity && identity->Is(ChannelFailure::DriveBusy))) {
    found.busy = true;
    target.panels.SetText(StatusPanels::kMessagePanel, channel.DriveBusyText(k));
    return found;
  }
  if (!found.enclosure) return found;

  ReadDeviceName(k, target);
  found.suppliesRevision = ConfigRecordView(target.config).SuppliesRevision();
  found.operationRuns = ReadStatusRecord(k, target);
  return found;
}

bool DriveDiscovery::Place(PhysicalDrive k, const DriveFindings& found, uint32_t count) {
  if (found.busy || !found.enclosure) return false;
  Enclosure& enclosure = ctx_.enclosures[EnclosureSlot{count}];
  if (found.suppliesRevision) enclosure.revisionPending = true;
  if (found.operationRuns) enclosure.progressPending = true;
  // The flag may be left from an earlier detection whose device had this
  // slot; it is never cleared here, and the mark follows it.
  const StatusRecordEditor status(ctx_.records.Status(k));
  if (enclosure.revisionPending) {
    status.SetRevisionMark(kRevisionPresent);
    status.SetRevision(ConfigRecordView(ctx_.records.Config(k)));
  } else {
    status.SetRevisionMark(kRevisionMissing);
  }
  ctx_.devices.DeviceSlot[count] = EnclosureEntry(k);
  return true;
}

void DriveDiscovery::ReadDeviceName(PhysicalDrive k, const ProbeTarget& target) {
  CommandChannel& channel = target.channel;
  DeviceAccess& access = channel.access();
  std::array<uint8_t, kInquiryLength> inquiry{};
  bool ok = false;
  {
    // INQUIRY between two reads of another thread's knock would break it.
    const auto guard = channel.Lock(k);
    if (guard) {
      const ScopedDevice drive(access, k);
      ok = drive.valid() && access.InquiryDevice(drive.get(), inquiry.data());
    }
  }
  if (!ok) {
    target.panels.SetText(StatusPanels::kMessagePanel,
                          "Inquiry fail at DEVICE" + std::to_string(k.number()));
    return;
  }
  const std::span<uint8_t> text(inquiry.data() + kInquiryTextOffset, kInquiryTextSize);
  CollapseSpaceRuns(text);
  // The name is kept in ATA order like the controller's own texts.
  ConfigRecordEditor(target.config).SetDeviceName(SwapPairs(text));
}

bool DriveDiscovery::ReadStatusRecord(PhysicalDrive k, const ProbeTarget& target) {
  CommandChannel& channel = target.channel;
  Record& record = target.status;
  const StatusRecordEditor status(record);
  Reply reply{};
  PauseBeforeQuery(ctx_);
  if (!channel.QueryController(k, kQueryStatus, reply).Answered()) return false;
  const bool sameDrive = status.Drive() == k && status.WasRead();
  status.MarkRead(k);
  DecodeStatusReply(reply, target.config, record,
                    sameDrive ? MemberCopy::DiscoverySameDrive : MemberCopy::Discovery);
  const bool operationRuns = status.ProgressFlags() != 0;

  if (status.Mode() == kModeMirror) {
    // A mirror is as large as the controller made it, not twice a member.
    PauseBeforeQuery(ctx_);
    if (!channel.QueryController(k, kQueryProgress, reply).Answered()) return operationRuns;
    const ProgressReplyView progress(reply);
    status.SetVolumeCapacity(progress.TotalSectors());
    // A reading past its total is no percentage: a record of this drive
    // keeps the last one read, a new record starts from 0.
    const std::optional<uint8_t> percent = progress.Percent();
    if (!operationRuns || (!percent && !sameDrive)) {
      status.SetPercent(0);
    } else if (percent) {
      status.SetPercent(*percent);
    }
  } else {
    status.SetVolumeCapacity(2 * std::min(status.Member(Port::P0).CapacitySectors(),
                                          status.Member(Port::P1).CapacitySectors()));
  }
  return operationRuns;
}

DetectionReport DriveDiscovery::DetectDrives(const ProbeOptions& options) {
  ctx_.channel.access().transport().Refresh();
  DescribeVolumes();
  const DetectionReport report =
      ctx_.elsewhere != nullptr ? TakePolledElsewhere() : ProbePhysicalDrives(options);
  ctx_.devices.DeviceCount = report.enclosures;
  return report;
}

DetectionReport DriveDiscovery::TakePolledElsewhere() {
  ctx_.detection.BusyDrives = 0;
  DetectionReport report{0, 0, ctx_.detection.PhysicalDriveCount.load()};
  uint32_t& count = report.enclosures;
  uint32_t taken = 0;  // bit k: drive k has a slot
  const std::optional<std::vector<PolledEnclosure>> enclosures = ctx_.elsewhere->Enclosures();
  for (const PolledEnclosure& enclosure : enclosures.value_or(std::vector<PolledEnclosure>{})) {
    if (count == kDeviceSlots) break;
    if (!enclosure.drive.InRange()) continue;
    const uint32_t n = enclosure.drive.number();
    const uint32_t bit = 1U << n;
    if ((taken & bit) != 0) continue;
    taken |= bit;
    ctx_.records.StatusRecord[n] = enclosure.status;
    ctx_.records.ConfigRecord[n] = enclosure.config;
    ctx_.devices.DeviceSlot[count++] = EnclosureEntry(enclosure.drive);
  }
  ctx_.panels.SetText(kStagePanel, "De, " + std::to_string(count) + ", OK");
  return report;
}

DetectionReport DriveDiscovery::DetectNow(const ProbeOptions& options) {
  DetectionState& detection = ctx_.detection;
  detection.LetterCount = ListLogicalDrives();
  detection.PhysicalDriveCount = CountPhysicalDrives();
  detection.handover.SetProbing(true);
  detection.handover.Request();
  detection.handover.Begin();
  const DetectionReport report = DetectDrives(options);
  detection.handover.Finish();
  detection.handover.TakeResults();
  detection.handover.SetProbing(false);
  return report;
}

}  // namespace px
