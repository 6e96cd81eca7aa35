#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <utility>
#include <vector>

namespace px {

// The firmware image the program holds (a loaded file or a built image) and
// the progress of the SPI work on it. Lives as long as the main window; used
// on the window's thread.
struct FirmwareState {
  // Empty when no image is loaded. Always replaced as a whole, so no one ever
  // sees half of one image and half of another.
  std::vector<uint8_t> FirmwareImage;
  // The file the image was read from; empty for one built here.
  std::filesystem::path ImageFile;
  // SPI steps done by the running firmware operation; the window's Timer1
  // copies it into the progress bar.
  std::atomic<uint32_t> UpgradeProgress{0};

  uint32_t FirmwareLength() const { return static_cast<uint32_t>(FirmwareImage.size()); }
  // The old buffer is released before the new one takes its place.
  void ReplaceImage(std::vector<uint8_t> image, std::filesystem::path file = {}) {
    DropImage();
    FirmwareImage = std::move(image);
    ImageFile = std::move(file);
  }
  void DropImage() {
    std::vector<uint8_t>().swap(FirmwareImage);
    ImageFile.clear();
  }
};

}  // namespace px
