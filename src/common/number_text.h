#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace px {

// A number the user typed that is not one. This is the one exception the
// program lets surface to its general error handler: its message is what the
// user reads, and nothing has changed when it is thrown.
class ConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The value of one hexadecimal digit, either case.
std::optional<uint8_t> HexDigitValue(char c);

// A number typed by the user: hexadecimal when the text ends in "H" or "h"
// (digits are read from the left up to the first non-hex character and kept
// to 32 bits, so "12XH" is 0x12 and "H" is 0), otherwise a signed 32-bit
// decimal integer, negative values as their two's-complement pattern. Throws
// ConversionError with "'<text>' is not a valid integer value" for anything
// else, an empty text and an out-of-range decimal included.
uint32_t ParseNumberText(std::string_view text);

}  // namespace px
