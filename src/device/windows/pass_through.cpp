#include "device/windows/pass_through.h"

#include <algorithm>
#include <cstring>

namespace px {

PassThroughBlock FillPassThroughBlock(const ScsiRequest& request) {
  PassThroughBlock block;
  std::memset(&block, 0, sizeof block);
  SCSI_PASS_THROUGH_DIRECT& r = block.request;
  r.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
  r.TargetId = kPassThroughTargetId;
  r.CdbLength = static_cast<UCHAR>(std::min<std::size_t>(request.cdbLength, sizeof r.Cdb));
  r.SenseInfoLength = kPassThroughSenseLength;
  r.DataIn = request.direction == DataDirection::In ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
  r.DataTransferLength = request.transferLength;
  r.TimeOutValue = request.timeoutSeconds;
  r.DataBuffer = request.data;
  r.SenseInfoOffset = offsetof(PassThroughBlock, sense);
  std::memcpy(r.Cdb, request.cdb.data(), sizeof r.Cdb);
  return block;
}

CommandOutcome PassThroughOutcome(BOOL returned, DWORD error, const PassThroughBlock& block) {
  CommandOutcome outcome;
  if (returned == 0) {
    outcome.osError = static_cast<int32_t>(error);
    return outcome;
  }
  outcome.completed = true;
  outcome.scsiStatus = block.request.ScsiStatus;
  // The sense area means something only after CHECK CONDITION; the port
  // driver leaves its length there.
  if (outcome.scsiStatus == kScsiStatusCheckCondition) {
    outcome.senseLength = std::min<UCHAR>(block.request.SenseInfoLength, kPassThroughSenseLength);
    std::copy_n(block.sense, outcome.senseLength, outcome.sense.begin());
  }
  return outcome;
}

}  // namespace px
