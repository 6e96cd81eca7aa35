#pragma once

#include <filesystem>
#include <fstream>

#include "sim/demo_scenarios.h"

namespace px::test {

// Writes the demo's firmware file, which the virtual enclosures accept, as
// fw.bin in `folder` (for "Load Firmware " to choose, or pxraid to be
// given); returns its path.
inline std::filesystem::path WriteDemoFirmware(const std::filesystem::path& folder) {
  const std::vector<uint8_t> image = sim::DemoFirmwareFile();
  const std::filesystem::path file = folder / "fw.bin";
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  return file;
}

}  // namespace px::test
