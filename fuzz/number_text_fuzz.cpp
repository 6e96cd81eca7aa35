// Numbers and days the user types: ParseNumberText reads hexadecimal ending
// in "H" (up to the first character that is no hex digit, kept to 32 bits)
// and otherwise strict signed 32-bit decimal, refusing anything else with
// "'<text>' is not a valid integer value"; the GoTo dialog turns the number
// into a sector by its unit, and changes nothing on a refused text; a day
// typed as YYMMDD is taken exactly when it names a real day, and names the
// same day's log file.
//
// Input: steps until the input ends, a step byte's low three bits saying
// what: 0 a number (a text follows), 1 a GoTo unit clicked (a byte
// follows), 2 GoTo confirmed with a text, 3 GoTo cancelled, 4 the dialog
// opened afresh, 5 a day typed (a text follows), 6 a day written as a
// log file's name (year, month, day bytes), 7 nothing.

#include <cstdint>
#include <optional>
#include <string>

#include "cli/log_date.h"
#include "common/goto_sector.h"
#include "common/number_text.h"
#include "eventlog/log_time.h"
#include "support.h"

namespace px::fuzz {
namespace {

struct Number {
  std::optional<uint32_t> value;  // nothing: refused
};

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned HexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  return static_cast<unsigned>(c - 'A' + 10);
}

Number Expected(const std::string& text) {
  if (!text.empty() && (text.back() == 'H' || text.back() == 'h')) {
    uint32_t value = 0;
    for (std::size_t i = 0; i + 1 < text.size() && IsHexDigit(text[i]); ++i)
      value = value * 16 + HexValue(text[i]);
    return {value};
  }
  std::size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) i = 1;
  if (i == text.size()) return {};
  int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return {};
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > (int64_t{1} << 31)) return {};
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX) return {};
  return {static_cast<uint32_t>(static_cast<int32_t>(value))};
}

Number Parsed(const std::string& text) {
  try {
    return {ParseNumberText(text)};
  } catch (const ConversionError& e) {
    // The message is a C string: a NUL typed into the text ends it there.
    const std::string message = "'" + text + "' is not a valid integer value";
    Expect(e.what() == message.substr(0, message.find('\0')),
           std::string("the refusal reads ") + e.what());
    return {};
  }
}

void CheckNumber(const std::string& text) {
  const Number expected = Expected(text);
  const Number parsed = Parsed(text);
  Expect(parsed.value == expected.value,
         "'" + text + "' read as " + (parsed.value ? std::to_string(*parsed.value) : "refused") +
             ", expected " + (expected.value ? std::to_string(*expected.value) : "refused"));
}

// GotoUnit as the dialog documents it: 0x10 plus the unit while open, the
// unit alone once confirmed, 0 once cancelled; and the number confirmed.
struct Dialog {
  uint8_t unit = 0x11;
  uint32_t value = 0;
};

void CheckGoto(const GotoRequest& request, const Dialog& dialog) {
  std::optional<uint32_t> expected;
  if (dialog.unit == 1) expected = (dialog.value >> 9) + 1;
  if (dialog.unit == 2) expected = (dialog.value >> 8) + 1;
  if (dialog.unit == 3) expected = dialog.value;
  const std::optional<uint32_t> sector = GotoSectorFor(request);
  Expect(sector == expected, "the GoTo sector is " + (sector ? std::to_string(*sector) : "none") +
                                 ", expected " + (expected ? std::to_string(*expected) : "none"));
}

int DaysIn(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  return month == 2 && leap ? 29 : kDays[month - 1];
}

bool RealDay(int year, int month, int day) {
  return month >= 1 && month <= 12 && day >= 1 && day <= DaysIn(year, month);
}

void CheckDayText(const std::string& text) {
  const std::optional<LogTime> day = cli::ParseLogDate(text);
  bool sixDigits = text.size() == 6;
  for (const char c : text) sixDigits = sixDigits && c >= '0' && c <= '9';
  const auto two = [&](std::size_t at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); };
  const bool real = sixDigits && RealDay(2000 + two(0), two(2), two(4));
  Expect(day.has_value() == real, "'" + text + "' taken as a day: " + (day ? "yes" : "no"));
  if (day) {
    Expect(day->year == 2000 + two(0) && day->month == two(2) && day->day == two(4),
           "the day read from '" + text + "'");
    Expect(LogFileName(*day) == text + ".log", "the day's log file is " + LogFileName(*day));
  }
}

void CheckDayName(int year, int month, int day) {
  LogTime time;
  time.year = year;
  time.month = month;
  time.day = day;
  const std::string name = LogFileName(time);
  Expect(name.size() == 10 && name.substr(6) == ".log", "a log file's name: " + name);
  const std::optional<LogTime> back = cli::ParseLogDate(name.substr(0, 6));
  Expect(back.has_value() && back->year == year && back->month == month && back->day == day,
         "the day " + name + " names is not the day it was made from");
}

}  // namespace
}  // namespace px::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace px;
  using namespace px::fuzz;
  Input in(data, size);
  GotoRequest request;
  Dialog dialog;
  while (!in.empty()) {
    const uint8_t step = in.Byte();
    switch (step & 7U) {
      case 0:
        CheckNumber(in.Text());
        break;
      case 1: {
        const uint8_t unit = static_cast<uint8_t>(1 + in.Byte() % 3);
        SelectGotoUnit(request, unit);
        dialog.unit = static_cast<uint8_t>(0x10 | unit);
        break;
      }
      case 2: {
        const std::string text = in.Text();
        const Number number = Expected(text);
        try {
          ConfirmGoto(request, text);
          Expect(number.value.has_value(), "GoTo took '" + text + "'");
        } catch (const ConversionError&) {
          Expect(!number.value.has_value(), "GoTo refused '" + text + "'");
        }
        if (number.value) {
          dialog.value = *number.value;
          dialog.unit &= 0x0F;
        }
        break;
      }
      case 3:
        CancelGoto(request);
        dialog.unit = 0;
        break;
      case 4:
        request = GotoRequest{};
        dialog = Dialog{};
        break;
      case 5:
        CheckDayText(in.Text(8));
        break;
      case 6: {
        const int year = 2000 + in.Byte() % 100;
        const int month = 1 + in.Byte() % 12;
        const int day = 1 + in.Byte() % DaysIn(year, month);
        CheckDayName(year, month, day);
        break;
      }
      default:
        break;
    }
    CheckGoto(request, dialog);
  }
  return 0;
}
