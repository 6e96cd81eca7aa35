#include "common/number_text.h"

#include <charconv>
#include <string>

namespace px {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

uint32_t ParseNumberText(std::string_view text) {
  if (!text.empty() && (text.back() == 'H' || text.back() == 'h')) {
    uint32_t value = 0;
    for (const char c : text.substr(0, text.size() - 1)) {
      const int digit = HexDigit(c);
      if (digit < 0) break;
      value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return value;
  }
  // Decimal, as strict as the original toolkit's conversion: an optional sign,
  // digits, nothing else, within the signed 32-bit range.
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
