#include "common/number_text.h"

#include <charconv>
#include <string>

namespace px {

std::optional<uint8_t> HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  return std::nullopt;
}

uint32_t ParseNumberText(std::string_view text) {
  if (!text.empty() && (text.back() == 'H' || text.back() == 'h')) {
    uint32_t value = 0;
    for (const char c : text.substr(0, text.size() - 1)) {
      const std::optional<uint8_t> digit = HexDigitValue(c);
      if (!digit) break;
      value = (value << 4) | *digit;
    }
    return value;
  }
  // Decimal, strictly: an optional sign, digits, nothing else, within the
  // signed 32-bit range; anything else is a conversion error the user sees.
  std::string_view digits = text;
  const bool plus = !digits.empty() && digits.front() == '+';
  if (plus) digits.remove_prefix(1);
  int32_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size() ||
      (plus && digits.front() == '-')) {
    throw ConversionError("'" + std::string(text) + "' is not a valid integer value");
  }
  return static_cast<uint32_t>(value);
}

}  // namespace px
