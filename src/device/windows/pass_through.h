#pragma once

// clang-format off
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>
// clang-format on

#include <cstddef>

#include "device/transport.h"

namespace px {

inline constexpr UCHAR kPassThroughTargetId = 1;
inline constexpr UCHAR kPassThroughSenseLength = 24;

// The block that is both input and output of IOCTL_SCSI_PASS_THROUGH_DIRECT:
// the platform's own SCSI_PASS_THROUGH_DIRECT, a 4-byte filler and a 32-byte
// sense area. Sizes and offsets are the compiler's: on 64-bit Windows the
// structure is 56 bytes with the CDB at 36 and the sense area at 60 (96 bytes
// in all); the 44-byte structure and sense offset 48 hold for 32-bit builds.
struct PassThroughBlock {
  SCSI_PASS_THROUGH_DIRECT request;
  ULONG filler;
  UCHAR sense[32];
};

static_assert(offsetof(PassThroughBlock, request) == 0);
static_assert(offsetof(PassThroughBlock, filler) == sizeof(SCSI_PASS_THROUGH_DIRECT));
#if defined(_WIN64)
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 36);
#else
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44);
static_assert(sizeof(PassThroughBlock) == 80);
#endif

// The zero-filled block for one request: Length, TargetId 1, CdbLength,
// SenseInfoLength 24, DataIn, DataTransferLength, TimeOutValue (seconds),
// DataBuffer (the caller's buffer), SenseInfoOffset and the CDB; everything
// else 0.
PassThroughBlock FillPassThroughBlock(const ScsiRequest& request);

// What DeviceIoControl's answer says: `returned` is its result, `error`
// GetLastError() after it. The request completed exactly when the system
// says it went out and came back; the SCSI status and the sense data the
// block carries back are reported with it, not judged, so a CHECK CONDITION
// has completed.
CommandOutcome PassThroughOutcome(BOOL returned, DWORD error, const PassThroughBlock& block);

}  // namespace px
