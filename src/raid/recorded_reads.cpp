#include "raid/recorded_reads.h"

#include <algorithm>

#include "device/knock.h"
#include "device/scsi_commands.h"

namespace px {

bool KeepReadInRecording(const ScsiRequest& request, std::span<const uint8_t> data) {
  if (request.cdb[0] != kOpRead10) return true;
  if (data.size() != kSectorSize) return false;
  const auto carries = [&data](std::size_t offset, const char* signature) {
    return std::equal(data.begin() + static_cast<std::ptrdiff_t>(offset),
                      data.begin() + static_cast<std::ptrdiff_t>(offset + 16), signature);
  };
  return carries(0, kReplyHeadSignature) || carries(kReplyTailOffset, kReplyTailSignature);
}

}  // namespace px
