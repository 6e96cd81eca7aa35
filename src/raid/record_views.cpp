#include "raid/record_views.h"

#include <algorithm>

#include "common/bytes.h"
#include "common/text.h"

namespace px {
namespace {

// Where one member lives in a StatusRecord.
struct MemberLayout {
  std::size_t state, model, serial, capacity;
  unsigned flagShift;  // its half of PortFlags and of the link speeds
  uint8_t badSectorBit;
};

constexpr std::array<MemberLayout, 2> kMembers = {{
    {status::kP0State, status::kP0Model, status::kP0Serial, status::kP0Capacity, 0, kP0BadSector},
    {status::kP1State, status::kP1Model, status::kP1Serial, status::kP1Capacity, 4, kP1BadSector},
}};

const MemberLayout& LayoutOf(Port port) {
  return kMembers[IndexOf(port)];
}

constexpr std::size_t kRevisionSize = 3;
constexpr std::size_t kCurrentLbaSize = 4;
constexpr std::size_t kProgressTotalSize = 6;
constexpr std::size_t kProgressCurrentSize = 5;

}  // namespace

std::string_view PortName(Port port) {
  return port == Port::P0 ? "P0" : "P1";
}

MemberClass MemberClasses::First() const {
  for (MemberClass c :
       {MemberClass::Off, MemberClass::Ready, MemberClass::Failed, MemberClass::Inserted})
    if (Has(c)) return c;
  return MemberClass::None;
}

uint8_t MemberView::RawState() const {
  return record_[LayoutOf(port_).state];
}

MemberClasses MemberView::Classes() const {
  return ClassesOf(record_[status::kPortFlags], port_);
}

std::span<const uint8_t, status::kModelSize> MemberView::ModelField() const {
  return record_.subspan(LayoutOf(port_).model).first<status::kModelSize>();
}

std::span<const uint8_t, status::kSerialSize> MemberView::SerialField() const {
  return record_.subspan(LayoutOf(port_).serial).first<status::kSerialSize>();
}

std::string MemberView::Model() const {
  return DeviceText(ModelField());
}

std::string MemberView::Serial() const {
  return DeviceText(SerialField());
}

uint64_t MemberView::CapacitySectors() const {
  return LoadLittleEndian(record_.data() + LayoutOf(port_).capacity, status::kCapacitySize);
}

uint8_t MemberView::LinkSpeed() const {
  return static_cast<uint8_t>(
      (unsigned{record_[status::kLinkSpeeds]} >> LayoutOf(port_).flagShift) & 0x0FU);
}

bool MemberView::BadSector() const {
  return (record_[status::kProgressFlags] & LayoutOf(port_).badSectorBit) != 0;
}

PhysicalDrive StatusRecordView::Drive() const {
  return PhysicalDrive(record_[status::kDrive]);
}

bool StatusRecordView::WasRead() const {
  return record_[status::kType] == kRecordValid;
}

uint8_t StatusRecordView::Mode() const {
  return record_[status::kMode];
}

uint64_t StatusRecordView::VolumeCapacity() const {
  return LoadLittleEndian(record_.data() + status::kVolumeCapacity, status::kCapacitySize);
}

uint8_t StatusRecordView::PortFlags() const {
  return record_[status::kPortFlags];
}

uint8_t StatusRecordView::ProgressFlags() const {
  return record_[status::kProgressFlags];
}

bool StatusRecordView::RebuildRuns() const {
  return (ProgressFlags() & (kProgressP0 | kProgressP1)) != 0;
}

RebuildDirection StatusRecordView::Direction() const {
  return (ProgressFlags() & kProgressP0) != 0 ? RebuildDirection::TowardsP0
                                              : RebuildDirection::TowardsP1;
}

uint8_t StatusRecordView::Percent() const {
  return record_[status::kProgress];
}

bool StatusRecordView::CapacityTooSmall() const {
  return (ProgressFlags() & kCapacityTooSmall) != 0;
}

uint32_t StatusRecordView::CurrentLba() const {
  return static_cast<uint32_t>(
      LoadLittleEndian(record_.data() + status::kCurrentLba, kCurrentLbaSize));
}

bool StatusRecordView::BuzzerOn() const {
  return (record_[status::kSettings] & kSettingsBuzzerOn) != 0;
}

bool StatusRecordView::ScheduleBackupOn() const {
  return (record_[status::kSettings] & kSettingsScheduleBackupOn) != 0;
}

uint8_t StatusRecordView::BackupPeriod() const {
  return record_[status::kBackupPeriod];
}

std::span<const uint8_t, 3> StatusRecordView::RevisionSuffix() const {
  return record_.subspan<status::kRevisionSuffix, 3>();
}

std::span<const uint8_t, 8> IdentityReplyView::SentVersionField() const {
  return reply_.subspan<reply::kIdentityVersion, 8>();
}

bool IdentityReplyView::SuppliesRevision() const {
  return reply_[config::kRevisionAbsent] == 0 && reply_[config::kRevisionAbsent + 1] == 0;
}

std::span<const uint8_t, 3> IdentityReplyView::SentRevision() const {
  return reply_.subspan<reply::kIdentityRevision, kRevisionSize>();
}

std::span<const uint8_t, 8> ConfigRecordView::VersionField() const {
  return reply_.subspan<config::kFirmwareVersion, 8>();
}

uint32_t ConfigRecordView::FirmwareVersion() const {
  return static_cast<uint32_t>(LoadBigEndian(reply_.data() + config::kFirmwareVersion, 4));
}

std::span<const uint8_t, 2> ConfigRecordView::ProductCode() const {
  return reply_.subspan<config::kProductCode, 2>();
}

bool ConfigRecordView::P0IsRecordA() const {
  return (reply_[config::kPortOrder] & config::kPortOrderBit) != 0;
}

std::span<const uint8_t, config::kDeviceNameSize> ConfigRecordView::DeviceNameField() const {
  return reply_.subspan<config::kDeviceName, config::kDeviceNameSize>();
}

std::span<const uint8_t, status::kModelSize> PortRecordView::ModelField() const {
  return record_.subspan<reply::kPortModel, status::kModelSize>();
}

std::span<const uint8_t, status::kSerialSize> PortRecordView::SerialField() const {
  return record_.subspan<reply::kPortSerial, status::kSerialSize>();
}

uint64_t PortRecordView::CapacitySectors() const {
  return LoadBigEndian(record_.data() + reply::kPortCapacity, status::kCapacitySize);
}

PortRecordView StatusReplyView::PortRecord(Port port, const ConfigRecordView& config) const {
  const bool recordA = (port == Port::P0) == config.P0IsRecordA();
  return PortRecordView(reply_.subspan(recordA ? reply::kPortRecordA : reply::kPortRecordB)
                            .first<reply::kPortRecordSize>());
}

bool ProgressReplyView::Present() const {
  return reply_[reply::kProgressPresent] == reply::kProgressPresentValue;
}

uint64_t ProgressReplyView::TotalSectors() const {
  return LoadBigEndian(reply_.data() + reply::kProgressTotal, kProgressTotalSize);
}

uint64_t ProgressReplyView::CurrentSector() const {
  return LoadBigEndian(reply_.data() + reply::kProgressCurrent, kProgressCurrentSize);
}

std::optional<uint8_t> ProgressReplyView::Percent() const {
  return ProgressPercent(CurrentSector(), TotalSectors());
}

void MemberEditor::SetRawState(uint8_t state) const {
  record_[LayoutOf(port_).state] = state;
}

void MemberEditor::TakeDisk(const PortRecordView& port) const {
  const MemberLayout& at = LayoutOf(port_);
  std::ranges::copy(port.ModelField(), record_.begin() + static_cast<std::ptrdiff_t>(at.model));
  std::ranges::copy(port.SerialField(), record_.begin() + static_cast<std::ptrdiff_t>(at.serial));
  StoreLittleEndian(record_.data() + at.capacity, status::kCapacitySize, port.CapacitySectors());
}

void MemberEditor::Blank() const {
  const MemberLayout& at = LayoutOf(port_);
  std::fill_n(record_.data() + at.model, status::kModelSize, ' ');
  std::fill_n(record_.data() + at.serial, status::kSerialSize, ' ');
  std::fill_n(record_.data() + at.capacity, status::kCapacitySize, 0);
}

void StatusRecordEditor::MarkRead(PhysicalDrive drive) const {
  record_[status::kDrive] = static_cast<uint8_t>(drive.number());
  record_[status::kType] = kRecordValid;
}

void StatusRecordEditor::SetMode(uint8_t mode) const {
  record_[status::kMode] = mode;
}

void StatusRecordEditor::SetPortFlags(uint8_t flags) const {
  record_[status::kPortFlags] = flags;
}

void StatusRecordEditor::SetProgressFlags(uint8_t flags) const {
  record_[status::kProgressFlags] = flags;
}

void StatusRecordEditor::SetPercent(uint8_t percent) const {
  record_[status::kProgress] = percent;
}

void StatusRecordEditor::SetVolumeCapacity(uint64_t sectors) const {
  StoreLittleEndian(record_.data() + status::kVolumeCapacity, status::kCapacitySize, sectors);
}

void StatusRecordEditor::SetRevision(const IdentityReplyView& identity) const {
  std::ranges::reverse_copy(identity.SentRevision(),
                            record_.begin() + static_cast<std::ptrdiff_t>(status::kRevision));
}

void StatusRecordEditor::SetRevisionMark(uint8_t mark) const {
  record_[status::kRevisionMark] = mark;
}

void ConfigRecordEditor::KeepSentVersion() const {
  std::ranges::copy(SentVersionField(),
                    record_.begin() + static_cast<std::ptrdiff_t>(config::kFirmwareVersion));
}

void ConfigRecordEditor::SetDeviceName(std::string_view ataOrder) const {
  const auto name = record_.subspan<config::kDeviceName, config::kDeviceNameSize>();
  const std::size_t n = std::min(ataOrder.size(), name.size());
  std::copy_n(ataOrder.begin(), n, name.begin());
  std::fill(name.begin() + static_cast<std::ptrdiff_t>(n), name.end(), ' ');
}

}  // namespace px
