#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "device/physical_drive.h"
#include "raid/records.h"

// Typed views over the records and the controller's replies. They hold a
// span, never a copy: the records keep their 512-byte layout, which the wire,
// the log and the display depend on, and every reader asks the view instead
// of knowing the offsets.

namespace px {

enum class Port : uint8_t { P0 = 0, P1 = 1 };
inline constexpr std::array<Port, 2> kBothPorts = {Port::P0, Port::P1};
inline constexpr std::size_t IndexOf(Port port) {
  return static_cast<std::size_t>(port);
}
std::string_view PortName(Port port);  // "P0", "P1"

// The state classes of PortFlags, as one member's half holds them.
enum class MemberClass : uint8_t {
  None = 0,
  Inserted = kPortInserted,  // a disk is in but not part of the volume (state 6)
  Ready = kPortReady,        // present and ready (state 0, or 1 while an operation runs)
  Off = kPortOff,            // no disk (any state not named here)
  Failed = kPortFailed,      // the port failed (state 9)
};

// One member's half of PortFlags. A decode sets exactly one class; a record
// that was never decoded may hold none, one built by hand several.
class MemberClasses {
 public:
  constexpr MemberClasses() = default;
  constexpr explicit MemberClasses(uint8_t bits) : bits_(static_cast<uint8_t>(bits & 0x0FU)) {}
  constexpr bool Has(MemberClass c) const { return (bits_ & static_cast<uint8_t>(c)) != 0; }
  // The member's class. Of several, the first of Off, Ready, Failed and
  // Inserted counts, as the log has always reported them.
  MemberClass First() const;
  friend constexpr bool operator==(MemberClasses, MemberClasses) = default;

 private:
  uint8_t bits_ = 0;
};

// One member's half of a PortFlags byte.
inline constexpr MemberClasses ClassesOf(uint8_t portFlags, Port port) {
  return MemberClasses(static_cast<uint8_t>(unsigned{portFlags} >> (port == Port::P0 ? 0U : 4U)));
}

// A member's class bits moved into its half of PortFlags.
inline constexpr uint8_t PortFlagBits(Port port, uint8_t classBits) {
  return static_cast<uint8_t>(classBits << (port == Port::P0 ? 0U : 4U));
}

// The ProgressFlags bit of a member that reports state 1.
inline constexpr uint8_t RebuildBit(Port port) {
  return port == Port::P0 ? kProgressP0 : kProgressP1;
}

// Which way a rebuild or copy between the members runs: towards the member
// whose port reports state 1.
enum class RebuildDirection : uint8_t { TowardsP0, TowardsP1 };

// The window and the log show capacities from the low 40 bits of the 48-bit
// fields; pxraid shows all 48.
inline constexpr uint64_t ShownSectors(uint64_t sectors) {
  return sectors & 0xFF'FFFF'FFFFULL;
}

// One member disk in a StatusRecord.
class MemberView {
 public:
  MemberView(std::span<const uint8_t, kSectorSize> record, Port port)
      : record_(record), port_(port) {}

  Port port() const { return port_; }
  uint8_t RawState() const;  // the controller's own port state byte
  MemberClasses Classes() const;
  // ATA order, as the controller sent them (the bytes of each pair exchanged).
  std::span<const uint8_t, status::kModelSize> ModelField() const;
  std::span<const uint8_t, status::kSerialSize> SerialField() const;
  // As DeviceText shows them; the space padding stays.
  std::string Model() const;
  std::string Serial() const;
  uint64_t CapacitySectors() const;  // all 48 bits
  uint8_t LinkSpeed() const;         // SATA generation; no read fills it
  bool BadSector() const;            // no read fills it

 private:
  std::span<const uint8_t, kSectorSize> record_;
  Port port_;
};

// What the program knows of one enclosure's volume.
class StatusRecordView {
 public:
  explicit StatusRecordView(std::span<const uint8_t, kSectorSize> record) : record_(record) {}

  PhysicalDrive Drive() const;
  // Discovery has read the device's status. Every reader ignores a record
  // that was never read.
  bool WasRead() const;
  uint8_t Mode() const;             // kModeStriping ... kModeBypass
  uint64_t VolumeCapacity() const;  // sectors, all 48 bits
  uint8_t PortFlags() const;        // both members' classes, P0 in the low half
  MemberView Member(Port port) const { return {record_, port}; }

  uint8_t ProgressFlags() const;
  // A rebuild or copy runs between the members (one of them reports state 1).
  bool RebuildRuns() const;
  // Towards P0 when P0 reports state 1, else towards P1.
  RebuildDirection Direction() const;
  uint8_t Percent() const;
  bool CapacityTooSmall() const;  // no read fills it
  uint32_t CurrentLba() const;    // no read fills it

  // Settings the display reads; no read fills them.
  bool BuzzerOn() const;
  bool ScheduleBackupOn() const;
  uint8_t BackupPeriod() const;

  // The letter and two hex digits after a printable firmware revision; no
  // read fills them.
  std::span<const uint8_t, 3> RevisionSuffix() const;

 private:
  std::span<const uint8_t, kSectorSize> record_;
};

// A controller's identity reply (query 0x11).
class IdentityReplyView {
 public:
  explicit IdentityReplyView(std::span<const uint8_t, kSectorSize> reply) : reply_(reply) {}

  // Firmware version (4 bytes, big-endian), product code and two more bytes,
  // as the controller sent them.
  std::span<const uint8_t, 8> SentVersionField() const;
  // The controller supplies revision bytes, so polls ask for them.
  bool SuppliesRevision() const;
  std::span<const uint8_t, 3> SentRevision() const;  // reply bytes 127-129

 protected:
  std::span<const uint8_t, kSectorSize> reply_;
};

// The ConfigRecord: the identity reply as discovery keeps it, with the
// version field copied to bytes 46-53 and the device name at 54-93.
class ConfigRecordView : public IdentityReplyView {
 public:
  explicit ConfigRecordView(std::span<const uint8_t, kSectorSize> record)
      : IdentityReplyView(record) {}

  std::span<const uint8_t, kSectorSize> bytes() const { return reply_; }
  // Firmware version, product code and two more bytes: text in ATA order on
  // some controllers, numbers on others.
  std::span<const uint8_t, 8> VersionField() const;
  uint32_t FirmwareVersion() const;  // the first four bytes, big-endian
  std::span<const uint8_t, 2> ProductCode() const;
  // P0 is port record A of the status reply (else record B).
  bool P0IsRecordA() const;
  std::span<const uint8_t, config::kDeviceNameSize> DeviceNameField() const;  // ATA order
};

// One port record of a status reply.
class PortRecordView {
 public:
  explicit PortRecordView(std::span<const uint8_t, reply::kPortRecordSize> record)
      : record_(record) {}

  uint8_t State() const { return record_[reply::kPortState]; }
  std::span<const uint8_t, status::kModelSize> ModelField() const;
  std::span<const uint8_t, status::kSerialSize> SerialField() const;
  uint64_t CapacitySectors() const;  // 48-bit big-endian on the wire

 private:
  std::span<const uint8_t, reply::kPortRecordSize> record_;
};

// A status reply (query 0x17).
class StatusReplyView {
 public:
  explicit StatusReplyView(std::span<const uint8_t, kSectorSize> reply) : reply_(reply) {}

  uint8_t ModeByte() const { return reply_[reply::kMode]; }
  // The member's record: which of the two is P0 is the controller's port order.
  PortRecordView PortRecord(Port port, const ConfigRecordView& config) const;

 private:
  std::span<const uint8_t, kSectorSize> reply_;
};

// A progress reply (query 0x15).
class ProgressReplyView {
 public:
  explicit ProgressReplyView(std::span<const uint8_t, kSectorSize> reply) : reply_(reply) {}

  bool Present() const;
  uint64_t TotalSectors() const;           // 48 bits
  uint64_t CurrentSector() const;          // 40 bits: past 2 TiB a rebuild is still followed
  std::optional<uint8_t> Percent() const;  // ProgressPercent of the two

 private:
  std::span<const uint8_t, kSectorSize> reply_;
};

// Writes a StatusRecord's fields; what it writes reads back through the view.
class MemberEditor {
 public:
  MemberEditor(std::span<uint8_t, kSectorSize> record, Port port) : record_(record), port_(port) {}

  void SetRawState(uint8_t state) const;
  // Model, serial and capacity from the member's port record.
  void TakeDisk(const PortRecordView& port) const;
  // Model and serial to spaces, capacity to 0.
  void Blank() const;

 private:
  std::span<uint8_t, kSectorSize> record_;
  Port port_;
};

class StatusRecordEditor : public StatusRecordView {
 public:
  explicit StatusRecordEditor(std::span<uint8_t, kSectorSize> record)
      : StatusRecordView(record), record_(record) {}

  MemberEditor EditMember(Port port) const { return {record_, port}; }
  // The drive the record belongs to, and that its status has been read.
  void MarkRead(PhysicalDrive drive) const;
  void SetMode(uint8_t mode) const;
  void SetPortFlags(uint8_t flags) const;
  void SetProgressFlags(uint8_t flags) const;
  void SetPercent(uint8_t percent) const;
  void SetVolumeCapacity(uint64_t sectors) const;
  // The revision bytes of an identity reply (or of the ConfigRecord that
  // keeps one), stored reversed.
  void SetRevision(const IdentityReplyView& identity) const;
  void SetRevisionMark(uint8_t mark) const;

 private:
  std::span<uint8_t, kSectorSize> record_;
};

class ConfigRecordEditor : public ConfigRecordView {
 public:
  explicit ConfigRecordEditor(std::span<uint8_t, kSectorSize> record)
      : ConfigRecordView(record), record_(record) {}

  // Keeps all eight bytes of the reply's version field at bytes 46-53.
  void KeepSentVersion() const;
  // A device name in ATA order, space padded to its 40 bytes.
  void SetDeviceName(std::string_view ataOrder) const;

 private:
  std::span<uint8_t, kSectorSize> record_;
};

}  // namespace px
