#include "common/text.h"

#include <gtest/gtest.h>

#include <string>

namespace px {
namespace {

using namespace std::string_literals;

// What a device's bytes become as text (PrintableUtf8) and what a file's
// line shows as (EscapeUnprintable): the same characters kept, the others
// replaced or escaped.
TEST(Text, ControlCharactersAndInvalidUtf8AreReplacedOrEscaped) {
  std::string ascii;
  for (char c = ' '; c <= '~'; ++c) ascii += c;
  const struct Case {
    std::string text, printable, escaped;
  } cases[] = {
      {ascii, ascii, ascii},
      {"", "", ""},
      {"A\r\nD1 P1 was initialized", "A  D1 P1 was initialized",
       "A\\x0D\\x0AD1 P1 was initialized"},
      {"\x1B[2J", " [2J", "\\x1B[2J"},
      {"tab\there\x7F", "tab here ", "tab\\x09here\\x7F"},
      {"a\0b"s, "a b", "a\\x00b"},
      // C1 controls: NEL and CSI, and the first character after them.
      {"\xC2\x85|\xC2\x9B[J|\xC2\xA0", " | [J|\xC2\xA0", "\\xC2\\x85|\\xC2\\x9B[J|\xC2\xA0"},
      // The line and paragraph separators, and the character before them.
      {"\xE2\x80\xA7\xE2\x80\xA8\xE2\x80\xA9", "\xE2\x80\xA7  ",
       "\xE2\x80\xA7\\xE2\\x80\\xA8\\xE2\\x80\\xA9"},
      // Valid UTF-8 of two, three and four bytes.
      {"n\xC3\xA9o \xE2\x82\xAC \xF0\x9F\x92\xBE", "n\xC3\xA9o \xE2\x82\xAC \xF0\x9F\x92\xBE",
       "n\xC3\xA9o \xE2\x82\xAC \xF0\x9F\x92\xBE"},
      // A byte of a local code page; a C1 control in 8 bits.
      {"n\xE9o \x9B", "n\xEF\xBF\xBDo \xEF\xBF\xBD", "n\\xE9o \\x9B"},
      // A sequence cut short, an overlong one, a surrogate, one past U+10FFFF.
      {"\xE2\x82", "\xEF\xBF\xBD", "\\xE2\\x82"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD", "\\xC0\\xAF"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", "\\xED\\xA0\\x80"},
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
       "\\xF4\\x90\\x80\\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.escaped);
    EXPECT_EQ(PrintableUtf8(c.text), c.printable);
    EXPECT_EQ(EscapeUnprintable(c.text), c.escaped);
    // Printable text is left as it is, by both.
    EXPECT_EQ(PrintableUtf8(c.printable), c.printable);
    EXPECT_EQ(EscapeUnprintable(c.printable), c.printable);
  }
}

// A device's text field: readable order, cut at the first NUL, printable.
TEST(Text, DeviceTextOfAnAtaField) {
  const uint8_t field[] = {'D', 'W', 'C', ' ', '\n', '\r', 'X', '<', 0, 'Y', 'Z', 'Z'};
  EXPECT_EQ(DeviceText(field), "WD C  <XY");
  const uint8_t padded[] = {'A', 'B', ' ', ' '};
  EXPECT_EQ(DeviceText(padded), "BA  ");
}

}  // namespace
}  // namespace px
