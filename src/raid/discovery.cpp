#include "raid/discovery.h"

#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <vector>

#include "common/text.h"
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

int8_t DriveSelector(uint32_t drive) {
  return static_cast<int8_t>(drive);
}

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
    const ScopedDevice drive(ctx_.channel.access(), DriveSelector(n));
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

uint32_t DriveDiscovery::ProbePhysicalDrives() {
  DeviceTable& devices = ctx_.devices;
  StatusPanels& panels = ctx_.panels;
  const uint32_t physicalCount = ctx_.detection.PhysicalDriveCount.load();
  ctx_.detection.BusyDrives = 0;
  uint32_t count = 0;
  uint32_t examined = 0;
  // The table holds eight devices; a ninth enclosure would run past it.
  for (uint32_t k = 0; k < kPhysicalDrives && count < kDeviceSlots; ++k) {
    if (ctx_.flags.closing.load()) return count;
    // A device under firmware work must not see a knock: it keeps its entry
    // from the last detection unprobed.
    const uint32_t upgradeSlot = devices.UpgradeSlot.load();
    if (!ctx_.monitor.FirstDisplay.load() && upgradeSlot == k && upgradeSlot < kDeviceSlots) {
      devices.DeviceSlot[count++] = devices.DeviceSlot[upgradeSlot].load();
      ++examined;
      continue;
    }
    {
      const ScopedDevice drive(ctx_.channel.access(), DriveSelector(k));
      panels.SetText(kDrivePanel, std::to_string(k));
      if (!drive.valid()) continue;
      panels.SetText(kDrivePanel, std::to_string(k) + ", 1OK");
    }
    if (ProbeDrive(k, count)) ++count;
    if (++examined >= physicalCount) break;
  }
  panels.SetText(kStagePanel, "De, " + std::to_string(count) + ", OK");
  const uint32_t choosable = ctx_.devices.ActivePage.load() == 0 ? physicalCount : count;
  ctx_.detection.ChooserMaximum = static_cast<int>(choosable) - 1;
  return count;
}

bool DriveDiscovery::ProbeDrive(uint32_t k, uint32_t count) {
  CommandChannel& channel = ctx_.channel;
  Record& config = ctx_.records.ConfigRecord[k];
  uint32_t entry = k;
  ctx_.panels.SetText(kStagePanel, "Mode 1");
  const CommandResult presence = channel.QueryController(k, kQueryPresence, config);
  ctx_.panels.SetText(kStagePanel, "Mode 2");
  CommandResult identity;
  if (presence.Answered()) {
    PauseBeforeQuery(ctx_);
    identity = channel.QueryController(k, kQueryIdentity, config);
    if (identity.Answered()) {
      const ConfigRecordEditor identityRecord(config);
      identityRecord.KeepSentVersion();
      if (IsEnclosureProduct(identityRecord)) entry |= kEntryEnclosure;
    }
  }
  if (presence.code == kResultDriveBusy || identity.code == kResultDriveBusy) {
    ctx_.detection.BusyDrives.fetch_or(static_cast<uint16_t>(1U << k));
    ctx_.panels.SetText(StatusPanels::kMessagePanel, channel.DriveBusyText(k));
    return false;
  }
  if ((entry & kEntryFirmwareBits) == 0) return false;

  ReadDeviceName(k);
  MonitorState& monitor = ctx_.monitor;
  if (ConfigRecordView(config).SuppliesRevision()) {
    monitor.RevisionPending[count] = true;
  }
  ReadStatusRecord(k, count);
  const StatusRecordEditor status(ctx_.records.StatusRecord[k]);
  if (monitor.RevisionPending[count]) {
    status.SetRevisionMark(kRevisionPresent);
    status.SetRevision(ConfigRecordView(config));
  } else {
    status.SetRevisionMark(kRevisionMissing);
  }
  ctx_.devices.DeviceSlot[count] = entry;
  return true;
}

void DriveDiscovery::ReadDeviceName(uint32_t k) {
  DeviceAccess& access = ctx_.channel.access();
  std::array<uint8_t, kInquiryLength> inquiry{};
  bool ok = false;
  {
    // INQUIRY between two reads of another thread's knock would break it.
    const auto guard = ctx_.channel.Lock(k);
    if (guard) {
      const ScopedDevice drive(access, DriveSelector(k));
      ok = drive.valid() && access.InquiryDevice(drive.get(), inquiry.data());
    }
  }
  if (!ok) {
    ctx_.panels.SetText(StatusPanels::kMessagePanel, "Inquiry fail at DEVICE" + std::to_string(k));
    return;
  }
  const std::span<uint8_t> text(inquiry.data() + kInquiryTextOffset, kInquiryTextSize);
  CollapseSpaceRuns(text);
  // The name is kept in ATA order like the controller's own texts.
  ConfigRecordEditor(ctx_.records.ConfigRecord[k]).SetDeviceName(SwapPairs(text));
}

void DriveDiscovery::ReadStatusRecord(uint32_t k, uint32_t count) {
  CommandChannel& channel = ctx_.channel;
  Record& record = ctx_.records.StatusRecord[k];
  const StatusRecordEditor status(record);
  Reply reply{};
  PauseBeforeQuery(ctx_);
  if (!channel.QueryController(k, kQueryStatus, reply).Answered()) return;
  const bool sameDrive = status.Drive() == k && status.WasRead();
  status.MarkRead(static_cast<uint8_t>(k));
  DecodeStatusReply(reply, ctx_.records.ConfigRecord[k], record,
                    sameDrive ? MemberCopy::DiscoverySameDrive : MemberCopy::Discovery);
  const bool operationRuns = status.ProgressFlags() != 0;
  if (operationRuns) ctx_.monitor.ProgressPending[count] = true;

  if (status.Mode() == kModeMirror) {
    // A mirror is as large as the controller made it, not twice a member.
    PauseBeforeQuery(ctx_);
    if (!channel.QueryController(k, kQueryProgress, reply).Answered()) return;
    const ProgressReplyView progress(reply);
    status.SetVolumeCapacity(progress.TotalSectors());
    status.SetPercent(operationRuns ? progress.Percent() : 0);
  } else {
    status.SetVolumeCapacity(2 * std::min(status.Member(Port::P0).CapacitySectors(),
                                          status.Member(Port::P1).CapacitySectors()));
  }
}

void DriveDiscovery::DetectDrives() {
  ctx_.channel.access().transport().Refresh();
  DescribeVolumes();
  ctx_.devices.DeviceCount = ProbePhysicalDrives();
}

uint32_t DriveDiscovery::DetectNow() {
  DetectionState& detection = ctx_.detection;
  detection.LetterCount = ListLogicalDrives();
  detection.PhysicalDriveCount = CountPhysicalDrives();
  detection.handover.SetProbing(true);
  detection.handover.Request();
  detection.handover.Begin();
  DetectDrives();
  detection.handover.Finish();
  detection.handover.TakeResults();
  detection.handover.SetProbing(false);
  return ctx_.devices.DeviceCount;
}

}  // namespace px
