#include "raid/settings_model.h"

#include <algorithm>
#include <charconv>

#include "raid/record_views.h"

namespace px {
namespace {

constexpr uint8_t kHoursBit = 0x80;
constexpr uint8_t kDaysBits = 0xC0;
constexpr uint8_t kDaysFlag = 0x40;
constexpr uint8_t kMinutesMask = 0x7F;
constexpr uint8_t kHoursDaysMask = 0x3F;

std::string_view UnitText(PeriodUnit unit) {
  return kPeriodUnitTexts[static_cast<std::size_t>(unit)];
}

// The list is a drop-down, so its text is one of the offered numbers; anything
// else counts as 0 rather than stopping the settings write.
unsigned DecimalValue(std::string_view text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc{} && end == text.data() + text.size() ? value : 0;
}

}  // namespace

std::vector<std::string> RebuildPeriodList(PeriodUnit unit) {
  switch (unit) {
    case PeriodUnit::Minutes:
      return {"10", "30"};
    case PeriodUnit::Hours:
      return {"1", "2", "3", "4", "5", "6", "7", "8"};
    case PeriodUnit::Days:
      return {"1"};
    case PeriodUnit::Boot:
      break;
  }
  return {};
}

uint8_t EncodePeriod(PeriodUnit unit, unsigned value) {
  switch (unit) {
    case PeriodUnit::Minutes:
      return static_cast<uint8_t>(value & kMinutesMask);
    case PeriodUnit::Hours:
      return static_cast<uint8_t>(kHoursBit | (value & kHoursDaysMask));
    case PeriodUnit::Days:
      return static_cast<uint8_t>(kDaysBits | (value & kHoursDaysMask));
    case PeriodUnit::Boot:
      break;
  }
  return 0;
}

Period DecodePeriod(uint8_t code) {
  if (code == 0) return {PeriodUnit::Boot, 0};
  if ((code & kHoursBit) == 0) {
    return {PeriodUnit::Minutes, static_cast<uint8_t>(code & kMinutesMask)};
  }
  const PeriodUnit unit = (code & kDaysFlag) != 0 ? PeriodUnit::Days : PeriodUnit::Hours;
  return {unit, static_cast<uint8_t>(code & kHoursDaysMask)};
}

std::string BackupPeriodText(PeriodUnit unit, std::string_view valueText) {
  std::string text(kBackupPeriodPrefix);
  if (unit != PeriodUnit::Boot) text += valueText;
  text += UnitText(unit);
  return text;
}

PeriodSelection SelectUnit(PeriodUnit unit) {
  PeriodSelection selection{unit, RebuildPeriodList(unit), std::nullopt};
  if (!selection.values.empty()) selection.valueIndex = 0;
  return selection;
}

PeriodSelection SelectPeriod(uint8_t code) {
  const Period period = DecodePeriod(code);
  PeriodSelection selection = SelectUnit(period.unit);
  const auto match =
      std::find(selection.values.begin(), selection.values.end(), std::to_string(period.value));
  if (match != selection.values.end()) {
    selection.valueIndex = static_cast<std::size_t>(match - selection.values.begin());
  }
  return selection;
}

SettingsFill FillSettings(const ScheduleBackupState& state) {
  if (!state.checked) return {};
  const uint8_t code =
      state.unit == PeriodUnit::Boot ? 0 : EncodePeriod(state.unit, DecimalValue(state.valueText));
  return {1, code, BackupPeriodText(state.unit, state.valueText)};
}

ScheduleBackupClickResult ScheduleBackupClick(bool checked,
                                              std::span<const uint8_t, kSectorSize> record,
                                              bool firstDisplay) {
  ScheduleBackupClickResult result;
  if (checked) {
    result.combosVisible = true;
    result.setVisible = true;
    result.periodTextVisible = true;
    result.period = SelectUnit(PeriodUnit::Minutes);
    if (const StatusRecordView status(record); status.WasRead() && !status.ScheduleBackupOn()) {
      result.periodText = std::string(kScheduleBackupDisable);
    }
  } else {
    result.periodText = std::string(kScheduleBackupDisable);
    result.raiseWriteSettings = !firstDisplay;
  }
  return result;
}

ControlEnabling Timer5Enabling(const ControlEnablingInputs& in) {
  ControlEnabling out;
  if (in.firstDisplay || in.deviceCount == 0) {
    out.buzzerMute = out.autoScan = out.scanButtons = false;
  } else if (in.pageSwitching) {
    out.autoScan = true;
  } else if (in.busyCountdown != 0) {
    // The controller is still taking the last settings write.
    out.buzzerMute = out.autoScan = out.periodControls = out.driveInitialize = out.scanButtons =
        false;
  } else {
    out.buzzerMute = true;
    const bool operationRuns = (in.progressFlags & (kProgressP0 | kProgressP1)) != 0;
    out.scheduleBackup = out.periodControls = !operationRuns;
    if (!operationRuns) out.driveInitialize = true;
    out.scanButtons = true;
  }
  return out;
}

}  // namespace px
