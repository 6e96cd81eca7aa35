#include "raid/display_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unit/display/record_builder.h"

namespace px {
namespace {

using testing::MirrorStatus;
using testing::PutAtaText;
using testing::PutNumber;

constexpr uint64_t k1TB = 1953525168;
const std::string kP0Model = "WDC WD10EZEX-00BN5A0 and more";  // 29 characters
const std::string kP0Serial = "  WD-WCC3F1234567890";          // two spaces, 18 characters
const std::string kP1Model = "ST1000DM003-1CH162";
const std::string kP1Serial = "S1ABCDEF";

Record ShownRecord(uint8_t portFlags, uint8_t progressFlags = 0, uint8_t percent = 0) {
  Record r = MirrorStatus(portFlags, progressFlags, percent);
  PutAtaText(r, status::kP0Model, status::kModelSize, kP0Model);
  PutAtaText(r, status::kP0Serial, status::kSerialSize, kP0Serial);
  PutAtaText(r, status::kP1Model, status::kModelSize, kP1Model);
  PutAtaText(r, status::kP1Serial, status::kSerialSize, kP1Serial);
  PutNumber(r, status::kP0Capacity, status::kCapacitySize, k1TB);
  PutNumber(r, status::kP1Capacity, status::kCapacitySize, k1TB);
  PutNumber(r, status::kVolumeCapacity, status::kCapacitySize, 2 * k1TB);
  return r;
}

const DisplayInputs kPoll{"Firmware Ver. 140318.5", "JMicron H/W RAID1", false, false, false};

struct PortExpect {
  std::string state;
  Colour colour;
  std::optional<std::string> hint;
  bool enabled;
  std::string model, serial, capacity;
};

void ExpectPort(const PortTexts& got, const PortExpect& want, const std::string& where) {
  EXPECT_EQ(got.state, want.state) << where;
  EXPECT_EQ(got.stateColour, want.colour) << where;
  EXPECT_EQ(got.stateHint, want.hint) << where;
  EXPECT_EQ(got.enableState, want.enabled) << where;
  EXPECT_EQ(got.model, want.model) << where;
  EXPECT_EQ(got.serial, want.serial) << where;
  EXPECT_EQ(got.capacity, want.capacity) << where;
}

TEST(ShowStatus, PortTextsForEachClass) {
  // Serial label: the leading blanks go, and 18 characters are too many, so
  // 12 and "..."; eight padded characters are shown whole. Models stop at 20.
  const std::string p0Label = "WD-WCC3F1234...";
  const std::string p0Model = "WDC WD10EZEX-00BN5A0";
  const std::string p1Full = kP1Serial + std::string(12, ' ');
  const std::string p1Hint = p1Full + "\n" + kP1Model + "  \nToatl LBA:1953525168 (953869 MB) ";
  const PortExpect p0Ready{" Ready ", Colour::Black, std::nullopt, true,
                           p0Model,   p0Label,       "931 GB"};
  const PortExpect p1Ready{" Ready ",       Colour::Black, std::nullopt, true,
                           kP1Model + "  ", kP1Serial,     "931 GB"};
  const PortExpect p0Off{" OFF ", Colour::Red, kP0Serial, false, "", "", ""};
  const PortExpect p1Off{" OFF ", Colour::Red, p1Full, false, "", "", ""};
  const PortExpect p0Fail{" FAIL ", Colour::Red, std::nullopt, true, "", "", ""};
  const PortExpect p1Fail{" FAIL ", Colour::Red, p1Hint, true, "", "", ""};
  const PortExpect inserted{" INSERTED ", Colour::Black, "", false, "", "", ""};
  const PortExpect p0Small{
      " Capacity too small ", Colour::Red, "", false, p0Model, p0Label, "931 GB"};

  struct Case {
    uint8_t portFlags, progressFlags;
    PortExpect p0, p1;
  } cases[] = {
      {0x22, 0x00, p0Ready, p1Ready}, {0x44, 0x00, p0Off, p1Off},
      {0x88, 0x00, p0Fail, p1Fail},   {0x11, 0x00, inserted, inserted},
      {0x21, 0x80, p0Small, p1Ready}, {0x84, 0x00, p0Off, p1Fail},
  };
  for (const auto& c : cases) {
    StatusDisplay display;
    const StatusView view =
        display.ShowStatus(ShownRecord(c.portFlags, c.progressFlags), kPoll, false);
    ASSERT_TRUE(view.ports.has_value());
    const std::string where = "flags " + std::to_string(c.portFlags);
    ExpectPort((*view.ports)[0], c.p0, where + " P0");
    ExpectPort((*view.ports)[1], c.p1, where + " P1");
    EXPECT_EQ(view.volumeCapacity, "Capacity : 1863 GB") << where;
  }
}

TEST(ShowStatus, SerialLabelTrimming) {
  struct Case {
    std::string serial, label;
  } cases[] = {
      {"  ABCDEFGHIJKLMNOPQR", "ABCDEFGHIJKL..."},
      {"ABCDEFGH", "ABCDEFGH"},
      {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKL..."},  // last index 15, start 0
      {"ABCDEFGHIJKLMNO", "ABCDEFGHIJKLMNO"},   // last index 14: whole
      {"    ABCD", "ABCD"},
      {"A", "A  "},  // trailing blanks stop at index 2
      {"", ""},
  };
  for (const auto& c : cases) {
    Record r = ShownRecord(0x22);
    PutAtaText(r, status::kP0Serial, status::kSerialSize, c.serial);
    StatusDisplay display;
    const StatusView view = display.ShowStatus(r, kPoll, true);
    EXPECT_EQ((*view.ports)[0].serial, c.label) << '"' << c.serial << '"';
  }
}

TEST(ShowStatus, ModeNames) {
  struct Case {
    uint8_t code;
    const char* text;
  } cases[] = {{0, "Mode : Striping"}, {1, "Mode : Mirror"},    {2, "Mode : NRAID"},
               {3, "Mode : JBOD"},     {63, "Mode : Bypass"},   {5, "Mode : Undefine"},
               {4, "Mode : Undefine"}, {255, "Mode : Undefine"}};
  for (const auto& c : cases) {
    Record r = ShownRecord(0x22);
    r[status::kMode] = c.code;
    StatusDisplay display;
    EXPECT_EQ(display.ShowStatus(r, kPoll, false).mode, c.text) << int{c.code};
  }
}

TEST(ShowStatus, UnreadRecordTouchesOnlyTheFirmwareText) {
  StatusDisplay display;
  Record r = ShownRecord(0x22, kProgressP0, 40);
  r[status::kType] = 0;
  const StatusView view =
      display.ShowStatus(r, {"Firmware Ver. X", "name", true, true, true}, true);
  EXPECT_EQ(view.result, 0);
  EXPECT_EQ(view.firmwareText, "Firmware Ver. X");
  EXPECT_FALSE(view.firstDisplayCleared);
  EXPECT_FALSE(view.hideScheduleBackup);
  EXPECT_FALSE(view.scheduleBackupChecked.has_value());
  EXPECT_FALSE(view.period.has_value());
  EXPECT_EQ(view.deviceName, "");
  EXPECT_EQ(view.mode, "");
  EXPECT_FALSE(view.ports.has_value());
  EXPECT_FALSE(view.progress.has_value());
  EXPECT_FALSE(view.showViewLog);

  // Nothing was remembered from it: the same flags and percent next time
  // count as new.
  r[status::kType] = kRecordValid;
  const StatusView next = display.ShowStatus(r, kPoll, false);
  EXPECT_EQ(next.result, 1);
  EXPECT_TRUE(next.ports.has_value());
  EXPECT_EQ(next.progress, " ^\nrebuilding 40%\n ^");
}

TEST(ShowStatus, PortTextsRebuiltOnlyOnChangeOrFullRefresh) {
  struct Step {
    uint8_t portFlags;
    bool fullRefresh;
    bool rebuilt;
  } steps[] = {
      {0x22, false, true},   // nothing shown yet
      {0x22, false, false},  // same flags
      {0x22, true, true},    // page switch
      {0x24, false, true},   // P1 went off
      {0x24, false, false}, {0x22, false, true},
  };
  StatusDisplay display;
  int n = 0;
  for (const auto& s : steps) {
    const StatusView view = display.ShowStatus(ShownRecord(s.portFlags), kPoll, s.fullRefresh);
    EXPECT_EQ(view.ports.has_value(), s.rebuilt) << "step " << n;
    EXPECT_EQ(view.volumeCapacity.has_value(), s.rebuilt) << "step " << n;
    EXPECT_EQ(view.mode, "Mode : Mirror") << "step " << n;  // written every time
    ++n;
  }
}

TEST(ShowStatus, ProgressArrowsAndPercent) {
  struct Step {
    uint8_t portFlags, progressFlags, percent;
    std::optional<std::string> label18;
    Colour colour;
  } steps[] = {
      {0x22, kProgressP0, 37, " ^\nrebuilding 37%\n ^", Colour::Blue},
      {0x22, kProgressP0, 37, std::nullopt, Colour::Blue},  // not rewritten
      {0x22, kProgressP0, 38, " ^\nrebuilding 38%\n ^", Colour::Blue},
      {0x22, 0, 38, "Normal", Colour::Fuchsia},
      // A new operation at the percent the last one showed is shown again.
      {0x22, kProgressP1, 38, " v\nrebuilding 38%\n v", Colour::Blue},
      {0x22, kProgressP1, 38, std::nullopt, Colour::Blue},
      {0x24, 0, 0, "Single HDD\nPresent", Colour::Fuchsia},
      {0x24, 0, 0, "Single HDD\nPresent", Colour::Fuchsia},  // health is always rewritten
      {0x22, kProgressP0 | kProgressP1, 0, " ^\nrebuilding 0%\n ^", Colour::Blue},
  };
  StatusDisplay display;
  int n = 0;
  for (const auto& s : steps) {
    const StatusView view =
        display.ShowStatus(ShownRecord(s.portFlags, s.progressFlags, s.percent), kPoll, false);
    const bool running = s.progressFlags != 0;
    EXPECT_EQ(view.progress, s.label18) << "step " << n;
    EXPECT_EQ(view.progressColour, s.colour) << "step " << n;
    EXPECT_EQ(view.showViewLog, running) << "step " << n;
    EXPECT_EQ(view.hideScanButtons, !running) << "step " << n;
    ++n;
  }
}

TEST(ShowStatus, PairHealth) {
  struct Case {
    uint8_t portFlags;
    const char* text;
  } cases[] = {{0x22, "Normal"},
               {0x24, "Single HDD\nPresent"},
               {0x42, "Single HDD\nPresent"},
               {0x12, "Single HDD\nPresent"},
               {0x28, "Single HDD\nPresent"},
               {0x44, "Failure"},
               {0x88, "Failure"},
               {0x11, "Failure"}};
  for (const auto& c : cases) {
    StatusDisplay display;
    EXPECT_EQ(display.ShowStatus(ShownRecord(c.portFlags), kPoll, false).progress, c.text)
        << int{c.portFlags};
  }
}

TEST(ShowStatus, CurrentLbaOnlyWhileAnOperationRunsAndAsked) {
  struct Case {
    uint8_t progressFlags;
    bool showCurrentLba;
    const char* text;
  } cases[] = {
      {kProgressP1, true, "Current LBA:\n305419896"}, {kProgressP1, false, ""}, {0, true, ""}};
  for (const auto& c : cases) {
    Record r = ShownRecord(0x22, c.progressFlags, 5);
    PutNumber(r, status::kCurrentLba, 4, 0x12345678);
    DisplayInputs in = kPoll;
    in.showCurrentLba = c.showCurrentLba;
    StatusDisplay display;
    EXPECT_EQ(display.ShowStatus(r, in, false).currentLba, c.text);
  }
}

TEST(ShowStatus, BadSectorMarksAndBuzzer) {
  struct Case {
    uint8_t progressFlags, settings;
    const char *p0, *p1;
    bool buzzerMuteChecked;
  } cases[] = {{0x00, 0x00, "", "", true},
               {kP0BadSector, 0x01, "Bad Sector", "", false},
               {kP1BadSector, 0x04, "", "Bad Sector", true},
               {kP0BadSector | kP1BadSector, 0x05, "Bad Sector", "Bad Sector", false}};
  for (const auto& c : cases) {
    Record r = ShownRecord(0x22, c.progressFlags);
    r[status::kSettings] = c.settings;
    StatusDisplay display;
    const StatusView view = display.ShowStatus(r, kPoll, false);
    EXPECT_EQ(view.p0BadSector, c.p0);
    EXPECT_EQ(view.p1BadSector, c.p1);
    EXPECT_EQ(view.buzzerMuteChecked, c.buzzerMuteChecked) << int{c.settings};
  }
}

TEST(ShowStatus, ScheduleBackupStateOnFirstDisplayAndPageSwitch) {
  struct Case {
    bool firstDisplay, pageSwitching;
    uint8_t settings;
    std::optional<bool> checked;
    bool periodSet;
  } cases[] = {
      {false, false, 0x04, std::nullopt, false}, {true, false, 0x04, true, true},
      {false, true, 0x04, true, false},          {false, true, 0x00, false, false},
      {true, true, 0x01, false, true},
  };
  for (const auto& c : cases) {
    Record r = ShownRecord(0x22);
    r[status::kSettings] = c.settings;
    DisplayInputs in = kPoll;
    in.firstDisplay = c.firstDisplay;
    in.pageSwitching = c.pageSwitching;
    StatusDisplay display;
    const StatusView view = display.ShowStatus(r, in, false);
    EXPECT_EQ(view.scheduleBackupChecked, c.checked);
    EXPECT_EQ(view.period.has_value(), c.periodSet);
    EXPECT_TRUE(view.hideScheduleBackup);
    EXPECT_TRUE(view.firstDisplayCleared);
    EXPECT_EQ(view.deviceName, "JMicron H/W RAID1");
    EXPECT_EQ(view.firmwareText, "Firmware Ver. 140318.5");
  }
}

TEST(ShowStatus, PeriodControlsFromTheReportedCode) {
  struct Case {
    uint8_t code;
    PeriodUnit unit;
    std::optional<std::size_t> index;
    std::string text;
  } cases[] = {
      {0x00, PeriodUnit::Boot, std::nullopt, "Backup period: boot"},
      {0x1E, PeriodUnit::Minutes, 1, "Backup period: 30min."},
      {0x0A, PeriodUnit::Minutes, 0, "Backup period: 10min."},
      {0x05, PeriodUnit::Minutes, 0, "Backup period: 10min."},  // not offered: first value
      {0x88, PeriodUnit::Hours, 7, "Backup period: 8hour"},
      {0x83, PeriodUnit::Hours, 2, "Backup period: 3hour"},
      {0xC1, PeriodUnit::Days, 0, "Backup period: 1day"},
  };
  for (const auto& c : cases) {
    Record r = ShownRecord(0x22);
    r[status::kBackupPeriod] = c.code;
    DisplayInputs in = kPoll;
    in.firstDisplay = true;
    StatusDisplay display;
    const StatusView view = display.ShowStatus(r, in, false);
    ASSERT_TRUE(view.period.has_value());
    EXPECT_EQ(view.period->unit, c.unit) << int{c.code};
    EXPECT_EQ(view.period->valueIndex, c.index) << int{c.code};
    EXPECT_EQ(view.periodText, c.text);
  }
}

}  // namespace
}  // namespace px
