#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/ui.h"

namespace px {

// Reads a whole file for the firmware tools. An open failure shows "Fail to
// open firmware file"; a read failure shows the byte offset where it
// happened, once (a file that cannot be read now will not be read by asking
// again). Either gives nullopt.
std::optional<std::vector<uint8_t>> ReadFirmwareSource(const std::filesystem::path& path,
                                                       Messages& messages);

}  // namespace px
