#include "raid/records.h"

#include "raid/record_views.h"

namespace px {
namespace {

bool Copies(uint8_t cls, MemberCopy copy) {
  if (copy == MemberCopy::Poll) return cls != kPortOff;
  return cls == kPortReady || cls == kPortFailed;
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

void DecodeStatusReply(std::span<const uint8_t, kSectorSize> reply,
                       std::span<const uint8_t, kSectorSize> config,
                       std::span<uint8_t, kSectorSize> status, MemberCopy copy) {
  const StatusReplyView from(reply);
  const StatusRecordEditor to(status);
  to.SetMode(ModeFromReply(from.ModeByte()));
  uint8_t portFlags = 0;
  uint8_t progressFlags = 0;
  for (Port port : kBothPorts) {
    const PortRecordView disk = from.PortRecord(port, ConfigRecordView(config));
    const MemberEditor member = to.EditMember(port);
    const uint8_t state = disk.State();
    member.SetRawState(state);
    const uint8_t cls = PortClass(state);
    portFlags |= PortFlagBits(port, cls);
    if (state == 1) progressFlags |= RebuildBit(port);
    // An "off" port keeps what was last known of its disk.
    if (Copies(cls, copy)) {
      member.TakeDisk(disk);
    } else if (copy == MemberCopy::Discovery) {
      member.Blank();
    }
  }
  to.SetPortFlags(portFlags);
  to.SetProgressFlags(progressFlags);
}

std::optional<uint8_t> ProgressPercent(uint64_t current, uint64_t total) {
  if (total == 0) return 0;
  if (current > total) return std::nullopt;
  return static_cast<uint8_t>((current * 100) / total);
}

}  // namespace px
