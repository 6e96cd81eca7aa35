#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "device/transport.h"
#include "raid/settings_model.h"

namespace px {

enum class Colour { Black, Red, Blue, Fuchsia };

inline constexpr std::array<std::string_view, 2> kDiskCaptions = {"HDD1", "HDD2"};  // Label23, 25

// What ShowStatus reads besides the record.
struct DisplayInputs {
  std::string_view firmwareText;  // FirmwareText
  std::string_view deviceName;    // DeviceName
  bool firstDisplay = false;      // FirstDisplay
  bool pageSwitching = false;     // PageSwitching
  bool showCurrentLba = false;    // ShowCurrentLba
};

// One disk: P0 with Label19, Label14, Label15, Label16; P1 with Label24,
// Label20, Label21, Label22.
struct PortTexts {
  std::string state;
  Colour stateColour = Colour::Black;
  std::optional<std::string> stateHint;  // nullopt: the hint is left as it is
  bool enableState = false;              // false: the enabled state is left as it is
  std::string model;
  std::string serial;
  std::string capacity;
};

// The controls one ShowStatus call writes, in the order it writes them. A
// control whose field is nullopt (or, for the flags, false) is not touched.
struct StatusView {
  int result = 0;            // 1 shown; 0 the record was never read and only StaticText5 changes
  std::string firmwareText;  // StaticText5, always written

  bool buzzerMuteChecked = false;  // CheckBox6
  // CheckBox2, on the first display and on page switches only.
  std::optional<bool> scheduleBackupChecked;
  // CheckBox2, ComboBox1, ComboBox2, Button5 and StaticText9 are hidden on
  // every display.
  bool hideScheduleBackup = false;
  std::string deviceName;  // Label4
  // First display only: ComboBox2 item, ComboBox1 list and selection, and
  // StaticText9, from the period the controller reported.
  std::optional<PeriodSelection> period;
  std::optional<std::string> periodText;
  bool firstDisplayCleared = false;  // the caller clears FirstDisplay

  std::string mode;         // Label17; Label23 and Label25 take kDiskCaptions
  std::string p0BadSector;  // StaticText6
  std::string p1BadSector;  // StaticText7
  // Rebuilt only on a full refresh or when PortFlags changed.
  std::optional<std::array<PortTexts, 2>> ports;
  std::optional<std::string> volumeCapacity;  // Label27, with the ports

  Colour progressColour = Colour::Black;  // Label18's font
  std::optional<std::string> progress;    // Label18; not rewritten while the percent stays
  std::string currentLba;                 // Label1
  bool showViewLog = false;               // Button1, while an operation runs
  bool hideScanButtons = false;           // Button3 and Button4, while none runs
};

// The RAID page of the active device. It remembers the port flags and the
// percent it last showed, across devices, so that a poll that changes nothing
// rewrites nothing; a page switch passes fullRefresh.
class StatusDisplay {
 public:
  StatusView ShowStatus(std::span<const uint8_t, kSectorSize> record, const DisplayInputs& in,
                        bool fullRefresh);

 private:
  static constexpr uint8_t kNothingShown = 0xFF;
  uint8_t lastPortFlags_ = kNothingShown;
  uint8_t lastProgress_ = kNothingShown;
};

}  // namespace px
