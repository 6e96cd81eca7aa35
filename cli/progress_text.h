#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The firmware commands' progress line, "Process 2 / 4: 25%, block 4 of 15",
// and its reading back by pxraidd, which runs those commands for its
// clients and publishes the stage and percent: one place for the words.

namespace px::cli {

std::string ProgressText(std::string_view caption, uint32_t percent, std::string_view unit,
                         uint32_t done, uint32_t steps);

struct ProgressReading {
  std::string caption;
  uint32_t percent = 0;
};
// What a line says of a firmware command's progress; nothing when it is
// no progress line.
std::optional<ProgressReading> ReadProgressText(std::string_view line);

}  // namespace px::cli
