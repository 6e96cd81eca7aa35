#pragma once

#include <cstdio>
#include <string>

#include "device/channel.h"

namespace px {

// A command's outcome as one word a table can hold: "answered" (status 20h,
// reply copied), the channel's failure ("NoReply", "DriveBusy" ...), or the
// status of a controller that replied without carrying the command out
// ("status 00", "status F4").
inline std::string Outcome(const CommandResult& result) {
  if (result.Answered()) return "answered";
  if (const auto failure = result.failure()) {
    switch (*failure) {
      case ChannelFailure::NotOpened:
        return "NotOpened";
      case ChannelFailure::KnockFailed:
        return "KnockFailed";
      case ChannelFailure::ReplyFailed:
        return "ReplyFailed";
      case ChannelFailure::NoReply:
        return "NoReply";
      case ChannelFailure::DriveBusy:
        return "DriveBusy";
    }
  }
  char status[16];
  std::snprintf(status, sizeof status, "status %02X", result.status().value_or(0));
  return status;
}

}  // namespace px
