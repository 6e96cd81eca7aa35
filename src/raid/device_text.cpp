#include "raid/device_text.h"

#include <algorithm>

#include "common/bytes.h"
#include "common/text.h"
#include "raid/record_views.h"

namespace px {
namespace {

constexpr std::size_t kDeviceNameKeep = 6;
constexpr uint8_t kFirstPrintable = 0x20;
// Only this many volumes are ever described.
constexpr std::size_t kDescribedVolumes = 20;

}  // namespace

DeviceLine BuildDeviceText(const DeviceTable& devices, EnclosureSlot selected,
                           std::span<const VolumeLetter> volumes, std::size_t letterCount) {
  const PhysicalDrive drive = devices.Drive(selected);
  std::string letters;
  for (const VolumeLetter& volume :
       volumes.first(std::min({letterCount, kDescribedVolumes, volumes.size()}))) {
    if (volume.DriveType == kDriveFixed && volume.DiskNumber == drive.number())
      letters += volume.Letter;
  }
  DeviceLine line;
  if (!letters.empty()) line.LettersText = "[" + letters + "]";
  line.DeviceText = " Device " + std::to_string(selected.index() + 1) + "/" +
                    std::to_string(devices.DeviceCount) + line.LettersText;
  return line;
}

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

FirmwareRevision RevisionOf(std::span<const uint8_t, kSectorSize> config) {
  const auto version = ConfigRecordView(config).VersionField();
  if (std::all_of(version.begin(), version.end(), [](uint8_t b) { return b >= kFirstPrintable; })) {
    return {PrintableUtf8(SwapPairs(version)), true};
  }
  return {VersionNumberText(static_cast<uint32_t>(LoadBigEndian(version.data(), 4))), false};
}

std::string VersionNumberText(uint32_t version) {
  std::string text;
  for (int shift = 24; shift >= 8; shift -= 8) text += HexUpper((version >> shift) & 0xFF, 2);
  return text + "." + HexUpper(version & 0x0F);
}

std::string FirmwareText(std::span<const uint8_t, kSectorSize> config) {
  return "Firmware Ver. " + RevisionOf(config).text;
}

std::string DeviceName(std::span<const uint8_t, kSectorSize> config) {
  return TrimRightKeep(PrintableUtf8(SwapPairs(ConfigRecordView(config).DeviceNameField())),
                       kDeviceNameKeep);
}

DeviceInfo BuildDeviceInfo(const DeviceTable& devices, const RecordTables& records,
                           EnclosureSlot selected, std::span<const VolumeLetter> volumes,
                           std::size_t letterCount, std::string_view baseCaption) {
  const PhysicalDrive drive = devices.Drive(selected);
  const Record& config = records.Config(drive);
  DeviceInfo info;
  info.line = BuildDeviceText(devices, selected, volumes, letterCount);
  info.physicalHint = " Physical" + std::to_string(drive.number());
  info.firmwareEnabled = CanTakeFirmware(devices.DeviceSlot[selected.index()]);
  info.firmwareText = FirmwareText(config);
  info.buzzerMuteVisible = StatusRecordView(records.Status(drive)).WasRead();
  info.deviceName = DeviceName(config);
  info.caption = std::string(baseCaption) + " - " + info.deviceName + info.line.LettersText;
  return info;
}

}  // namespace px
