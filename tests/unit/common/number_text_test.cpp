#include "common/number_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace px {
namespace {

TEST(ParseNumberText, AcceptedTexts) {
  struct Case {
    const char* text;
    uint32_t value;
  } cases[] = {
      {"1FH", 0x1F},
      {"1fh", 0x1F},
      {"200H", 0x200},
      {"a0h", 0xA0},
      {"12XH", 0x12},              // the X ends the scan
      {"H", 0},                    // no digits at all
      {"X1H", 0},                  // scan ends before the first digit
      {"123456789H", 0x23456789},  // nine digits keep the low 32 bits
      {"1024", 1024},
      {"160", 160},
      {"+7", 7},
      {"0", 0},
      {"-512", 4294966784u},  // two's-complement pattern
      {"2147483647", 2147483647u},
      {"-2147483648", 0x80000000u},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseNumberText(c.text), c.value) << c.text;
  }
}

TEST(ParseNumberText, RefusedTextsNameThemselves) {
  for (const std::string text : {"", "A0", "99999999999", "2147483648", "12 ", " 12", "1.5", "-",
                                 "+", "+-5", "0x10", "1F"}) {
    std::optional<std::string> message;
    try {
      ParseNumberText(text);
    } catch (const ConversionError& e) {
      message = e.what();
    }
    EXPECT_EQ(message, "'" + text + "' is not a valid integer value") << "text: [" << text << "]";
  }
}

}  // namespace
}  // namespace px
