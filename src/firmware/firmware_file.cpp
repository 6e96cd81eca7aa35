#include "firmware/firmware_file.h"

#include <algorithm>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/text.h"
#include "device/checksum.h"
#include "firmware/file_bytes.h"
#include "raid/record_views.h"

namespace px {
namespace {

using namespace firmware_file;

constexpr char kErrorTitle[] = "Error";

bool IsPairedProduct(const uint8_t* code) {
  return code[0] == 0x27 && (code[1] == 0x60 || code[1] == 0x70);
}

// Older controllers did not report a usable product code, so only two new
// versions are compared. The 0x2760 and 0x2770 boards share their firmware.
bool ProductAccepted(uint32_t deviceVersion, const uint8_t* deviceProduct, uint32_t fileVersion,
                     const uint8_t* fileProduct) {
  if (deviceVersion <= kProductCheckVersion || fileVersion <= kProductCheckVersion) return true;
  if (IsPairedProduct(deviceProduct)) return IsPairedProduct(fileProduct);
  return std::equal(deviceProduct, deviceProduct + 2, fileProduct);
}

uint32_t Load32(const std::vector<uint8_t>& bytes, std::size_t at) {
  return static_cast<uint32_t>(LoadBigEndian(bytes.data() + at, 4));
}

// Why the file is refused, or nullopt when it may be flashed.
std::optional<const char*> Refusal(const std::vector<uint8_t>& file,
                                   std::span<const uint8_t, kSectorSize> deviceConfig,
                                   StatusPanels& panels) {
  // The descriptor and the body must lie inside the file before anything of
  // them is read.
  if (file.size() < kBody) return "The firmware file is too short.\nPlease check it.";
  const uint32_t bodyLength = Load32(file, kBodyLength);
  if (bodyLength > file.size() - kBody) {
    return "The firmware body runs past the end of the file.\nPlease check it.";
  }
  if (RecordChecksum(file.data() + kBody, bodyLength) != Load32(file, kBodyCrc)) {
    return "Threr are CRC error in the firmware file.\nPlease check it.";
  }
  if (!std::equal(kGuidBytes.begin(), kGuidBytes.end(), file.begin() + kGuid)) {
    return "Threr are GUID error in the firmware file.\nPlease check it.";
  }
  if (!std::equal(kSignatureBytes.begin(), kSignatureBytes.end(), file.begin() + kSignature)) {
    return "Threr are METADATA_SINGATURE error in the firmware file.\nPlease check it.";
  }
  const ConfigRecordView device(deviceConfig);
  const uint32_t deviceVersion = device.FirmwareVersion();
  const uint32_t fileVersion = Load32(file, kVersion);
  panels.SetText(2, "F:" + HexUpper(deviceVersion));
  panels.SetText(3, "C:" + HexUpper(fileVersion));
  if (!ProductAccepted(deviceVersion, device.ProductCode().data(), fileVersion,
                       file.data() + kProduct)) {
    return "The firmware is not for this product.\nPlease check it.";
  }
  return std::nullopt;
}

}  // namespace

std::error_code LoadFirmwareFile(const std::filesystem::path& path,
                                 std::span<const uint8_t, kSectorSize> deviceConfig,
                                 FirmwareState& state, StatusPanels& panels, Messages& messages) {
  panels.WidenMessagePanel();
  panels.SetText(StatusPanels::kMessagePanel, "File:" + PathText(path));
  state.DropImage();
  std::error_code reason;
  std::optional<std::vector<uint8_t>> file = ReadFirmwareSource(path, messages, &reason);
  if (!file) return reason;
  const uint32_t sum = std::accumulate(file->begin(), file->end(), uint32_t{0});
  panels.SetText(0, "Chksum:" + HexUpper(sum, 8));
  if (const auto refusal = Refusal(*file, deviceConfig, panels)) {
    messages.Show(kErrorTitle, *refusal, MessageIcon::Error);
    return {};
  }
  state.ReplaceImage(std::move(*file), path);
  return {};
}

}  // namespace px
