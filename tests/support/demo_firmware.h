#pragma once

#include <QString>
#include <filesystem>
#include <fstream>

#include "sim/demo_scenarios.h"

namespace px::test {

// Writes the demo's firmware file, which the virtual enclosures accept, as
// fw.bin in `folder`, for "Load Firmware " to choose; returns its path.
inline std::filesystem::path WriteDemoFirmware(const QString& folder) {
  const std::vector<uint8_t> image = sim::DemoFirmwareFile();
  const std::filesystem::path file = std::filesystem::path(folder.toStdString()) / "fw.bin";
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  return file;
}

}  // namespace px::test
