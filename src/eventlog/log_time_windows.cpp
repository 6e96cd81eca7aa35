#include <windows.h>

#include <array>

#include "eventlog/log_time.h"

namespace px {

// The locale's name; empty for the user's own settings.
struct SystemDateFormat::Locale {
  std::wstring name;
  const wchar_t* Name() const { return name.empty() ? LOCALE_NAME_USER_DEFAULT : name.c_str(); }
};

namespace {

SYSTEMTIME SystemTimeOf(const LogTime& time) {
  SYSTEMTIME moment{};
  moment.wYear = static_cast<WORD>(time.year);
  moment.wMonth = static_cast<WORD>(time.month);
  moment.wDay = static_cast<WORD>(time.day);
  moment.wHour = static_cast<WORD>(time.hour);
  moment.wMinute = static_cast<WORD>(time.minute);
  moment.wSecond = static_cast<WORD>(time.second);
  return moment;
}

// `length` counts the terminating null; 0 is a failure, which gives nothing.
std::string Utf8(const wchar_t* text, int length) {
  if (length <= 1) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length - 1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length - 1, out.data(), size, nullptr, nullptr);
  return out;
}

}  // namespace

SystemDateFormat::SystemDateFormat(const std::string& locale)
    : locale_(std::make_unique<Locale>()) {
  // Locale names are ASCII.
  locale_->name.assign(locale.begin(), locale.end());
  if (!locale_->name.empty() && !IsValidLocaleName(locale_->name.c_str())) locale_->name.clear();
}

SystemDateFormat::~SystemDateFormat() = default;

std::string SystemDateFormat::ShortDate(const LogTime& time) const {
  const SYSTEMTIME moment = SystemTimeOf(time);
  std::array<wchar_t, 128> text{};
  const int length = GetDateFormatEx(locale_->Name(), DATE_SHORTDATE, &moment, nullptr, text.data(),
                                     static_cast<int>(text.size()), nullptr);
  return Utf8(text.data(), length);
}

std::string SystemDateFormat::LongTime(const LogTime& time) const {
  const SYSTEMTIME moment = SystemTimeOf(time);
  std::array<wchar_t, 128> text{};
  const int length = GetTimeFormatEx(locale_->Name(), 0, &moment, nullptr, text.data(),
                                     static_cast<int>(text.size()));
  return Utf8(text.data(), length);
}

}  // namespace px
