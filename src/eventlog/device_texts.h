#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "raid/records.h"

namespace px {

// Name of an array mode code of the StatusRecord; "Undefine" for any code
// outside the table.
std::string_view ModeName(uint8_t mode);

// The controller's firmware revision from ConfigRecord bytes 46-53.
struct FirmwareRevision {
  std::string text;
  // The eight bytes were characters. Otherwise text is the hex form built
  // from the raw version number, e.g. "0A0B0C.D".
  bool printable = false;
};
FirmwareRevision RevisionOf(const Record& config);

}  // namespace px
