#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/transport.h"
#include "raid/records.h"

namespace px {

// Items of the unit list (ComboBox2), in list order.
enum class PeriodUnit : uint8_t { Minutes = 0, Hours = 1, Days = 2, Boot = 3 };

inline constexpr std::array<std::string_view, 4> kPeriodUnitTexts = {"min.", "hour", "day", "boot"};

inline constexpr std::string_view kBackupPeriodPrefix = "Backup period: ";
inline constexpr std::string_view kScheduleBackupDisable = "Schedule Backup Disable";

// The values the value list (ComboBox1) offers for a unit; none for "boot".
std::vector<std::string> RebuildPeriodList(PeriodUnit unit);

// The controller's one-byte backup period: bit 7 clear = minutes in bits 0-6;
// bit 7 set = hours, or days with bit 6 also set, in bits 0-5; 0 = at boot.
uint8_t EncodePeriod(PeriodUnit unit, unsigned value);

struct Period {
  PeriodUnit unit = PeriodUnit::Boot;
  uint8_t value = 0;
};

Period DecodePeriod(uint8_t code);

// StaticText9's text for a chosen period: value and unit run together
// ("Backup period: 30min."), the unit alone for "boot".
std::string BackupPeriodText(PeriodUnit unit, std::string_view valueText);

// The value list (ComboBox1) with its selection; nothing is selected when the
// list is empty.
struct PeriodSelection {
  PeriodUnit unit = PeriodUnit::Boot;
  std::vector<std::string> values;
  std::optional<std::size_t> valueIndex;
};

// A unit just chosen: its list with the first value selected. ComboBox1 is
// shown only when the list is not empty.
PeriodSelection SelectUnit(PeriodUnit unit);

// The controls for a code the controller reported: the value equal to the
// code's value, else the first.
PeriodSelection SelectPeriod(uint8_t code);

// The schedule-backup controls as they stand when a settings sector is filled.
struct ScheduleBackupState {
  bool checked = false;                // CheckBox2
  PeriodUnit unit = PeriodUnit::Boot;  // ComboBox2
  std::string valueText;               // ComboBox1's text
};

// Bytes 5 and 6 of a settings sector and StaticText9 (nullopt: left as it is).
struct SettingsFill {
  uint8_t scheduleBackup = 0;
  uint8_t periodCode = 0;
  std::optional<std::string> periodText;
};

SettingsFill FillSettings(const ScheduleBackupState& state);

// The controls after a click on "Schedule Backup" (CheckBox2).
struct ScheduleBackupClickResult {
  bool combosVisible = false;  // ComboBox1 and ComboBox2
  bool setVisible = false;     // Button5
  // StaticText9: shown on checking, left as it is on unchecking.
  std::optional<bool> periodTextVisible;
  std::optional<std::string> periodText;  // nullopt: left as it is
  // Checked only: unit "min." with its first value selected.
  std::optional<PeriodSelection> period;
  bool raiseWriteSettings = false;
};

// Nothing at all happens while pages switch; the caller checks PageSwitching
// first. record: the active device's StatusRecord.
ScheduleBackupClickResult ScheduleBackupClick(bool checked,
                                              std::span<const uint8_t, kSectorSize> record,
                                              bool firstDisplay);

// Which of the settings controls Timer5 enables (true) or disables (false);
// nullopt leaves a control as it is.
struct ControlEnabling {
  std::optional<bool> buzzerMute;       // CheckBox6
  std::optional<bool> autoScan;         // CheckBox7
  std::optional<bool> scheduleBackup;   // CheckBox2
  std::optional<bool> periodControls;   // ComboBox1, ComboBox2, StaticText9, Button5
  std::optional<bool> driveInitialize;  // Button6
  std::optional<bool> scanButtons;      // Button3, Button4
};

struct ControlEnablingInputs {
  bool firstDisplay = false;
  uint32_t deviceCount = 0;
  bool pageSwitching = false;
  uint8_t busyCountdown = 0;  // of the active page's device
  uint8_t progressFlags = 0;  // its StatusRecord byte 105
};

// The caller still counts every enclosure's non-zero busyCountdown down
// afterwards.
ControlEnabling Timer5Enabling(const ControlEnablingInputs& in);

}  // namespace px
