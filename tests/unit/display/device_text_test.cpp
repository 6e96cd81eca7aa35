#include "raid/device_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unit/display/record_builder.h"

namespace px {
namespace {

using testing::PutAtaText;

constexpr uint8_t kRemovable = 2;
constexpr uint8_t kOpenFailed = 0xFF;

void SetDevices(DeviceTable& devices, std::vector<uint32_t> entries) {
  for (std::size_t i = 0; i < entries.size(); ++i) devices.DeviceSlot[i] = entries[i];
  devices.DeviceCount = static_cast<uint32_t>(entries.size());
}

TEST(BuildDeviceText, LettersOfTheSelectedDisk) {
  const std::vector<VolumeLetter> volumes = {
      {'C', kDriveFixed, 0}, {'D', kRemovable, 1},  {'E', kDriveFixed, 1},
      {'F', kDriveFixed, 1}, {'G', kDriveFixed, 3}, {'H', kOpenFailed, 1},
  };
  struct Case {
    std::vector<uint32_t> entries;
    uint32_t selected;
    std::size_t letterCount;
    std::string letters, line;
  } cases[] = {
      {{0x41, 0x43}, 0, 6, "[EF]", " Device 1/2[EF]"},
      {{0x41, 0x43}, 1, 6, "[G]", " Device 2/2[G]"},
      {{0x41, 0x43}, 0, 3, "[E]", " Device 1/2[E]"},  // only the described volumes
      {{0x42}, 0, 6, "", " Device 1/1"},
      {{0x40, 0x41, 0x43}, 0, 6, "[C]", " Device 1/3[C]"},
  };
  for (const auto& c : cases) {
    DeviceTable devices;
    SetDevices(devices, c.entries);
    const DeviceLine line =
        BuildDeviceText(devices, EnclosureSlot{c.selected}, volumes, c.letterCount);
    EXPECT_EQ(line.LettersText, c.letters) << c.line;
    EXPECT_EQ(line.DeviceText, c.line);
  }
}

TEST(BuildDeviceText, NoMoreThanTwentyVolumesAreLookedAt) {
  std::vector<VolumeLetter> volumes;
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    volumes.push_back({letter, kDriveFixed, static_cast<uint8_t>(letter < 'V' ? 0 : 1)});
  }
  DeviceTable devices;
  SetDevices(devices, {0x41});
  // Twenty volumes C..V: V is the only one of them on disk 1.
  EXPECT_EQ(BuildDeviceText(devices, EnclosureSlot{0}, volumes, 24).DeviceText, " Device 1/1[V]");
  EXPECT_EQ(BuildDeviceText(devices, EnclosureSlot{0}, volumes, 19).DeviceText, " Device 1/1");
}

Record ConfigWithVersion(std::vector<uint8_t> bytes) {
  Record config{};
  std::copy(bytes.begin(), bytes.end(), config.begin() + config::kFirmwareVersion);
  return config;
}

TEST(FirmwareText, PrintableOrNumberForm) {
  struct Case {
    std::vector<uint8_t> bytes;  // record bytes 46-53
    const char* text;
  } cases[] = {
      {{0x14, 0x03, 0x18, 0x05, 0x00, 0x01, 0x02, 0x03}, "Firmware Ver. 140318.5"},
      {{0x14, 0x03, 0x18, 0xA5, 0x41, 0x42, 0x43, 0x44}, "Firmware Ver. 140318.5"},
      {{0x0A, 0xBC, 0x00, 0x1F, 0x20, 0x20, 0x20, 0x20}, "Firmware Ver. 0ABC00.F"},
      {{'V', '1', '0', '.', '2', '0', 'B', 'A'}, "Firmware Ver. 1V.002AB"},
      {{'V', '1', '0', '.', '2', '0', 'B', 0x1F}, "Firmware Ver. 563130.E"},
      // Nothing below 0x20, but not all of it printable.
      {{'1', 'V', 0x7F, '.', 0x9B, 'J', 'A', 'B'},
       "Firmware Ver. V1. J\xEF\xBF\xBD"
       "BA"},
  };
  for (const auto& c : cases) EXPECT_EQ(FirmwareText(ConfigWithVersion(c.bytes)), c.text);
}

TEST(DeviceName, TrailingSpacesDownToSix) {
  struct Case {
    std::string stored, name;
  } cases[] = {
      {"", "      "},
      {"AB", "AB    "},
      {"JMicron H/W RAID1", "JMicron H/W RAID1"},
      {"A  B   ", "A  B  "},
      {std::string(40, 'x'), std::string(40, 'x')},
      {"PX\r\n<0>\x1B[2J", "PX  <0> [2J"},
  };
  for (const auto& c : cases) {
    Record config{};
    PutAtaText(config, config::kDeviceName, config::kDeviceNameSize, c.stored);
    EXPECT_EQ(DeviceName(config), c.name) << '"' << c.stored << '"';
  }
}

TEST(BuildDeviceInfo, TextsOfTheSelectedDevice) {
  RecordTables records;
  PutAtaText(records.ConfigRecord[3], config::kDeviceName, config::kDeviceNameSize, "PX RAID");
  records.ConfigRecord[3][config::kFirmwareVersion] = 0x14;
  records.StatusRecord[3][status::kType] = kRecordValid;
  PutAtaText(records.ConfigRecord[1], config::kDeviceName, config::kDeviceNameSize, "Other");
  const std::vector<VolumeLetter> volumes = {{'E', kDriveFixed, 3}, {'F', kDriveFixed, 3}};

  struct Case {
    std::vector<uint32_t> entries;
    uint32_t selected;
    std::string caption, hint;
    bool firmware, buzzer;
  } cases[] = {
      // Every enclosure entry carries bit 6, so it can take firmware.
      {{0x41, 0x43}, 1, "Utitity v0.50.4 - PX RAID[EF]", " Physical3", true, true},
      {{0x01, 0x03}, 1, "Utitity v0.50.4 - PX RAID[EF]", " Physical3", false, true},
      {{0x01, 0x83}, 1, "Utitity v0.50.4 - PX RAID[EF]", " Physical3", true, true},
      {{0x11, 0x43}, 0, "Utitity v0.50.4 - Other ", " Physical1", true, false},
  };
  for (const auto& c : cases) {
    DeviceTable devices;
    SetDevices(devices, c.entries);
    const DeviceInfo info = BuildDeviceInfo(devices, records, EnclosureSlot{c.selected}, volumes,
                                            volumes.size(), "Utitity v0.50.4");
    EXPECT_EQ(info.caption, c.caption);
    EXPECT_EQ(info.physicalHint, c.hint);
    EXPECT_EQ(info.firmwareEnabled, c.firmware) << c.caption;
    EXPECT_EQ(info.buzzerMuteVisible, c.buzzer) << c.caption;
    EXPECT_EQ(info.line.DeviceText,
              " Device " + std::to_string(c.selected + 1) + "/2" + info.line.LettersText);
  }
  DeviceTable devices;
  SetDevices(devices, {0x43});
  EXPECT_EQ(BuildDeviceInfo(devices, records, EnclosureSlot{0}, volumes, 2, "").firmwareText,
            "Firmware Ver. 140000.0");
}

}  // namespace
}  // namespace px
