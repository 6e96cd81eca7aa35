#pragma once

#include <span>

#include "device/transport.h"

namespace px {

// What a recording keeps of the data read (the Recorder's rule): only what
// the program looks at, the controller's reply sectors (a sector carrying
// either reply signature, so that a reply with one of them wrong replays as
// it was seen) and whatever is not a READ(10), such as INQUIRY. Every other
// sector the program reads (the knocks, the reads between them, sector 17
// of a disk that is no enclosure) is the disk's own and never looked at: the
// recording says it was read and keeps nothing of it, which keeps the
// user's data out of a bug report.
bool KeepReadInRecording(const ScsiRequest& request, std::span<const uint8_t> data);

}  // namespace px
