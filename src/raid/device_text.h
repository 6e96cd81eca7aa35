#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "raid/device_table.h"
#include "raid/records.h"

namespace px {

// What the device texts need of a volume: its letter, the system's drive type
// and the physical disk it lives on.
struct VolumeLetter {
  char Letter = 0;
  uint8_t DriveType = 0;
  uint8_t DiskNumber = 0;
};

// A device-table entry with any of bits 4-7 set can take firmware.
inline constexpr bool CanTakeFirmware(uint32_t entry) {
  return (entry & kEntryFirmwareBits) != 0;
}

struct DeviceLine {
  std::string LettersText;  // "[EF]", or empty when the device has no fixed volume
  std::string DeviceText;   // " Device 1/2[EF]"
};

// The line of the device in slot `selected`: its number of the count, and the
// letters of the fixed volumes on its disk among the first min(letterCount,
// 20) volumes.
DeviceLine BuildDeviceText(const DeviceTable& devices, EnclosureSlot selected,
                           std::span<const VolumeLetter> volumes, std::size_t letterCount);

// Name of an array mode code of the StatusRecord; "Undefine" for any code
// outside the table.
std::string_view ModeName(uint8_t mode);

// The controller's firmware revision from ConfigRecord bytes 46-53.
struct FirmwareRevision {
  std::string text;
  // None of the eight bytes was below 0x20, and text is them as PrintableUtf8
  // makes them (a DEL or a byte that is not UTF-8 among them is not shown
  // raw). Otherwise text is the number form built from the raw version, e.g.
  // "0A0B0C.D".
  bool printable = false;
};
FirmwareRevision RevisionOf(std::span<const uint8_t, kSectorSize> config);

// The number form of a firmware version (most significant byte first):
// three bytes in hexadecimal, ".", the low four bits of the last one.
// 0x14031815 is "140318.5"; a firmware file's version reads the same way.
std::string VersionNumberText(uint32_t version);

// "Firmware Ver. " and the version held in ConfigRecord bytes 46-53: the text
// itself when all eight bytes are printable, else the "140318.5" number form.
std::string FirmwareText(std::span<const uint8_t, kSectorSize> config);

// ConfigRecord bytes 54-93 in reading order and made printable
// (PrintableUtf8), trailing spaces removed down to no fewer than six
// characters.
std::string DeviceName(std::span<const uint8_t, kSectorSize> config);

// Everything ShowDeviceInfo puts on the window for the selected device.
struct DeviceInfo {
  DeviceLine line;                 // StaticText1 shows line.DeviceText
  std::string physicalHint;        // StaticText1's hint, " Physical1"
  bool firmwareEnabled = false;    // BitBtn1 and Button2
  std::string firmwareText;        // FirmwareText
  bool buzzerMuteVisible = false;  // CheckBox6: the device's status has been read
  std::string deviceName;          // DeviceName
  std::string caption;             // the main window's caption
};

// `selected` is the active page's slot.
DeviceInfo BuildDeviceInfo(const DeviceTable& devices, const RecordTables& records,
                           EnclosureSlot selected, std::span<const VolumeLetter> volumes,
                           std::size_t letterCount, std::string_view baseCaption);

}  // namespace px
