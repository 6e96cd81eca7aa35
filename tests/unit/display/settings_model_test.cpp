#include "raid/settings_model.h"

#include <gtest/gtest.h>

#include "raid/records.h"

namespace px {
namespace {

TEST(Period, CodesBothWays) {
  struct Case {
    PeriodUnit unit;
    unsigned value;
    uint8_t code;
  } cases[] = {
      {PeriodUnit::Hours, 8, 0x88},    {PeriodUnit::Days, 1, 0xC1},
      {PeriodUnit::Minutes, 30, 0x1E}, {PeriodUnit::Minutes, 10, 0x0A},
      {PeriodUnit::Hours, 1, 0x81},    {PeriodUnit::Minutes, 127, 0x7F},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodePeriod(c.unit, c.value), c.code) << c.value;
    const Period back = DecodePeriod(c.code);
    EXPECT_EQ(back.unit, c.unit) << int{c.code};
    EXPECT_EQ(back.value, c.value) << int{c.code};
  }
}

TEST(Period, ValuesOutsideTheirFieldAreMasked) {
  struct Case {
    PeriodUnit unit;
    unsigned value;
    uint8_t code;
  } cases[] = {{PeriodUnit::Boot, 8, 0x00},
               {PeriodUnit::Minutes, 0x85, 0x05},  // bit 7 would make it hours
               {PeriodUnit::Hours, 0x48, 0x88},    // bit 6 would make it days
               {PeriodUnit::Days, 0xFF, 0xFF}};
  for (const auto& c : cases) EXPECT_EQ(EncodePeriod(c.unit, c.value), c.code);
  EXPECT_EQ(DecodePeriod(0).unit, PeriodUnit::Boot);
}

TEST(Period, ValueListsPerUnit) {
  using List = std::vector<std::string>;
  struct Case {
    PeriodUnit unit;
    List values;
  } cases[] = {{PeriodUnit::Minutes, {"10", "30"}},
               {PeriodUnit::Hours, {"1", "2", "3", "4", "5", "6", "7", "8"}},
               {PeriodUnit::Days, {"1"}},
               {PeriodUnit::Boot, {}}};
  for (const auto& c : cases) {
    EXPECT_EQ(RebuildPeriodList(c.unit), c.values);
    const PeriodSelection chosen = SelectUnit(c.unit);
    EXPECT_EQ(chosen.values, c.values);
    EXPECT_EQ(chosen.valueIndex, c.values.empty() ? std::nullopt : std::optional<std::size_t>(0));
  }
}

TEST(FillSettings, BytesAndPeriodText) {
  struct Case {
    ScheduleBackupState state;
    uint8_t byte5, byte6;
    std::optional<std::string> text;
  } cases[] = {
      {{false, PeriodUnit::Hours, "8"}, 0, 0, std::nullopt},  // the combos do not count
      {{false, PeriodUnit::Minutes, "30"}, 0, 0, std::nullopt},
      {{true, PeriodUnit::Hours, "8"}, 1, 0x88, "Backup period: 8hour"},
      {{true, PeriodUnit::Days, "1"}, 1, 0xC1, "Backup period: 1day"},
      {{true, PeriodUnit::Minutes, "30"}, 1, 0x1E, "Backup period: 30min."},
      {{true, PeriodUnit::Boot, "10"}, 1, 0x00, "Backup period: boot"},
      {{true, PeriodUnit::Hours, ""}, 1, 0x80, "Backup period: hour"},
      {{true, PeriodUnit::Hours, "3x"}, 1, 0x80, "Backup period: 3xhour"},
  };
  for (const auto& c : cases) {
    const SettingsFill fill = FillSettings(c.state);
    EXPECT_EQ(fill.scheduleBackup, c.byte5) << c.state.valueText;
    EXPECT_EQ(fill.periodCode, c.byte6) << c.state.valueText;
    EXPECT_EQ(fill.periodText, c.text);
  }
}

TEST(ScheduleBackupClick, CheckingAndUnchecking) {
  struct Case {
    bool checked;
    uint8_t type, settings;
    bool firstDisplay;
    std::optional<std::string> text;
    bool write;
  } cases[] = {
      {true, kRecordValid, 0x00, false, "Schedule Backup Disable", false},
      {true, kRecordValid, 0x04, false, std::nullopt, false},
      {true, 0x00, 0x00, false, std::nullopt, false},  // never read: nothing known
      {false, kRecordValid, 0x04, false, "Schedule Backup Disable", true},
      {false, kRecordValid, 0x04, true, "Schedule Backup Disable", false},
  };
  for (const auto& c : cases) {
    Record r{};
    r[status::kType] = c.type;
    r[status::kSettings] = c.settings;
    const ScheduleBackupClickResult result = ScheduleBackupClick(c.checked, r, c.firstDisplay);
    EXPECT_EQ(result.combosVisible, c.checked);
    EXPECT_EQ(result.setVisible, c.checked);
    EXPECT_EQ(result.periodTextVisible, c.checked ? std::optional<bool>(true) : std::nullopt);
    EXPECT_EQ(result.periodText, c.text);
    EXPECT_EQ(result.raiseWriteSettings, c.write);
    EXPECT_EQ(result.period.has_value(), c.checked);
    if (result.period) {
      EXPECT_EQ(result.period->unit, PeriodUnit::Minutes);
      EXPECT_EQ(result.period->valueIndex, std::optional<std::size_t>(0));
    }
  }
}

TEST(Timer5Enabling, Decisions) {
  const auto on = std::optional<bool>(true);
  const auto off = std::optional<bool>(false);
  const auto keep = std::optional<bool>();
  struct Case {
    const char* name;
    ControlEnablingInputs in;
    std::optional<bool> buzzer, autoScan, box, period, init, scan;
  } cases[] = {
      {"first display", {true, 2, false, 0, 0}, off, off, keep, keep, keep, off},
      {"no device", {false, 0, true, 3, 3}, off, off, keep, keep, keep, off},
      {"page switching", {false, 1, true, 3, 3}, keep, on, keep, keep, keep, keep},
      {"busy", {false, 1, false, 2, 0}, off, off, keep, off, off, off},
      {"idle", {false, 1, false, 0, 0}, on, keep, on, on, on, on},
      {"P0 rebuilding", {false, 1, false, 0, kProgressP0}, on, keep, off, off, keep, on},
      {"P1 rebuilding", {false, 1, false, 0, kProgressP1}, on, keep, off, off, keep, on},
      {"other bits only", {false, 1, false, 0, 0x8C}, on, keep, on, on, on, on},
  };
  for (const auto& c : cases) {
    const ControlEnabling got = Timer5Enabling(c.in);
    EXPECT_EQ(got.buzzerMute, c.buzzer) << c.name;
    EXPECT_EQ(got.autoScan, c.autoScan) << c.name;
    EXPECT_EQ(got.scheduleBackup, c.box) << c.name;
    EXPECT_EQ(got.periodControls, c.period) << c.name;
    EXPECT_EQ(got.driveInitialize, c.init) << c.name;
    EXPECT_EQ(got.scanButtons, c.scan) << c.name;
  }
}

}  // namespace
}  // namespace px
