#pragma once

namespace px::cli {

// pxraid monitor --events: pxraidd's Event signals (every alert its monitor raises)
// as they come, one line each ("MemberRemoved critical virtual-1: D1 P1
// removed: ..."), or one JSON object a line with `json`, until stopped. The
// service may stop and start meanwhile: that is said on standard error and
// the following goes on. 3 when there is no system bus, or this pxraid was
// built without sd-bus.
int FollowServiceEvents(bool json);

}  // namespace px::cli
