#include "eventlog/device_texts.h"

#include <algorithm>
#include <span>

#include "common/text.h"

namespace px {

std::string_view ModeName(uint8_t mode) {
  switch (mode) {
    case kModeStriping:
      return "Striping";
    case kModeMirror:
      return "Mirror";
    case kModeNraid:
      return "NRAID";
    case kModeJbod:
      return "JBOD";
    case kModeBypass:
      return "Bypass";
    default:
      return "Undefine";
  }
}

FirmwareRevision RevisionOf(const Record& config) {
  constexpr std::size_t kRevisionSize = 8;
  const auto bytes = std::span(config).subspan(config::kFirmwareVersion, kRevisionSize);
  if (std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b >= 0x20; }))
    return {SwapPairs(bytes), true};
  return {HexUpper(bytes[0], 2) + HexUpper(bytes[1], 2) + HexUpper(bytes[2], 2) + "." +
              HexUpper(bytes[3] & 0x0FU, 1),
          false};
}

}  // namespace px
