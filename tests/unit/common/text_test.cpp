#include "common/text.h"

#include <gtest/gtest.h>

#include <string>

namespace px {
namespace {

using namespace std::string_literals;

// What a device's bytes become as text: printable characters kept, control
// characters a space, what is not UTF-8 the replacement character.
TEST(Text, ControlCharactersAndInvalidUtf8AreReplaced) {
  std::string ascii;
  for (char c = ' '; c <= '~'; ++c) ascii += c;
  const struct Case {
    std::string text, printable;
  } cases[] = {
      {ascii, ascii},
      {"", ""},
      {"A\r\nD1 P1 was initialized", "A  D1 P1 was initialized"},
      {"\x1B[2J", " [2J"},
      {"tab\there\x7F", "tab here "},
      {"a\0b"s, "a b"},
      // C1 controls: NEL and CSI, and the first character after them.
      {"\xC2\x85|\xC2\x9B[J|\xC2\xA0", " | [J|\xC2\xA0"},
      // The line and paragraph separators, and the character before them.
      {"\xE2\x80\xA7\xE2\x80\xA8\xE2\x80\xA9", "\xE2\x80\xA7  "},
      // Valid UTF-8 of two, three and four bytes.
      {"n\xC3\xA9o \xE2\x82\xAC \xF0\x9F\x92\xBE", "n\xC3\xA9o \xE2\x82\xAC \xF0\x9F\x92\xBE"},
      // A byte of a local code page; a C1 control in 8 bits.
      {"n\xE9o \x9B", "n\xEF\xBF\xBDo \xEF\xBF\xBD"},
      // A sequence cut short, an overlong one, a surrogate, one past U+10FFFF.
      {"\xE2\x82", "\xEF\xBF\xBD"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.printable);
    EXPECT_EQ(PrintableUtf8(c.text), c.printable);
    // Printable text is left as it is.
    EXPECT_EQ(PrintableUtf8(c.printable), c.printable);
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
