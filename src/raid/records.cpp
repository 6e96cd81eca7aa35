#include "raid/records.h"

#include <algorithm>

#include "common/bytes.h"

namespace px {
namespace {

struct PortLayout {
  std::size_t state, model, serial, capacity;
  uint8_t shift, progressBit;
};

constexpr PortLayout kP0{
    status::kP0State, status::kP0Model, status::kP0Serial, status::kP0Capacity, 0, kProgressP0};
constexpr PortLayout kP1{
    status::kP1State, status::kP1Model, status::kP1Serial, status::kP1Capacity, 4, kProgressP1};

bool Copies(uint8_t cls, MemberCopy copy) {
  if (copy == MemberCopy::Poll) return cls != kPortOff;
  return cls == kPortReady || cls == kPortFailed;
}

// Decodes one port record into the status record; returns its class bits
// already shifted into the port's half of PortFlags.
uint8_t DecodePort(const uint8_t* port, const PortLayout& at, std::span<uint8_t, kSectorSize> s,
                   MemberCopy copy, uint8_t& progressFlags) {
  const uint8_t state = port[reply::kPortState];
  s[at.state] = state;
  const uint8_t cls = PortClass(state);
  if (state == 1) progressFlags |= at.progressBit;
  uint8_t* model = s.data() + at.model;
  uint8_t* serial = s.data() + at.serial;
  uint8_t* capacity = s.data() + at.capacity;
  if (Copies(cls, copy)) {
    std::copy_n(port + reply::kPortModel, status::kModelSize, model);
    std::copy_n(port + reply::kPortSerial, status::kSerialSize, serial);
    std::reverse_copy(port + reply::kPortCapacity,
                      port + reply::kPortCapacity + status::kCapacitySize, capacity);
  } else if (copy == MemberCopy::Discovery) {
    std::fill_n(model, status::kModelSize, ' ');
    std::fill_n(serial, status::kSerialSize, ' ');
    std::fill_n(capacity, status::kCapacitySize, 0);
  }
  return static_cast<uint8_t>(cls << at.shift);
}

}  // namespace

uint8_t ModeFromReply(uint8_t raw) {
  switch (raw) {
    case 0:
      return kModeJbod;
    case 1:
      return kModeStriping;
    case 2:
      return kModeMirror;
    default:
      return kModeBypass;
  }
}

uint8_t PortClass(uint8_t state) {
  if (state < 2) return kPortReady;
  if (state == 6) return kPortInserted;
  if (state == 9) return kPortFailed;
  return kPortOff;
}

void DecodeStatusReply(std::span<const uint8_t, kSectorSize> r,
                       std::span<const uint8_t, kSectorSize> config,
                       std::span<uint8_t, kSectorSize> s, MemberCopy copy) {
  s[status::kMode] = ModeFromReply(r[reply::kMode]);
  const bool p0First = (config[config::kPortOrder] & config::kPortOrderBit) != 0;
  const uint8_t* p0 = r.data() + (p0First ? reply::kPortRecordA : reply::kPortRecordB);
  const uint8_t* p1 = r.data() + (p0First ? reply::kPortRecordB : reply::kPortRecordA);
  uint8_t progressFlags = 0;
  uint8_t portFlags = DecodePort(p0, kP0, s, copy, progressFlags);
  portFlags |= DecodePort(p1, kP1, s, copy, progressFlags);
  s[status::kPortFlags] = portFlags;
  s[status::kProgressFlags] = progressFlags;
}

uint8_t ProgressPercent(uint64_t current, uint64_t total) {
  if (total == 0) return 0;
  return static_cast<uint8_t>((current * 100) / total);
}

uint64_t ProgressTotal(std::span<const uint8_t, kSectorSize> progress) {
  return LoadBigEndian(progress.data() + reply::kProgressTotal, 6);
}

uint64_t ProgressCurrent(std::span<const uint8_t, kSectorSize> progress) {
  return LoadBigEndian(progress.data() + reply::kProgressCurrent, 5);
}

void CopyRevisionBytes(std::span<const uint8_t, kSectorSize> identity,
                       std::span<uint8_t, kSectorSize> status) {
  const auto* revision = identity.data() + reply::kIdentityRevision;
  std::reverse_copy(revision, revision + 3, status.data() + status::kRevision);
}

}  // namespace px
