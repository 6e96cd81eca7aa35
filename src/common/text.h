#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

namespace px {

// Upper-case hexadecimal with at least minDigits digits ("0011", "10000").
std::string HexUpper(uint64_t value, int minDigits = 1);

// ATA texts (model, serial, device name, revision) store the two bytes of
// each pair exchanged; this turns such a field back into readable order.
// An odd final byte stays where it is.
std::string SwapPairs(std::span<const uint8_t> field);

// A controller's text field (a member's model or serial, the device name) as
// the program shows and logs it: readable order, cut at the first NUL, made
// printable by PrintableUtf8.
std::string DeviceText(std::span<const uint8_t> field);

// Removes trailing spaces but never shortens the text below keep characters.
std::string TrimRightKeep(std::string text, std::size_t keep);

// Device texts are bytes a device chose, not necessarily UTF-8. Wherever one
// becomes text (a log line, a terminal, a metric's label, a mail) it must not
// be able to start a line of its own or steer a terminal, so each byte that
// is not part of valid UTF-8 becomes U+FFFD, the replacement character, and
// each control character a space: C0 and DEL, the C1 controls U+0080-U+009F
// (which some terminals obey as escape sequences) and U+2028 and U+2029 (at
// which text views break a line). Printable text is left as it is.
std::string PrintableUtf8(std::string_view text);

// Text read from somewhere else (a day's log file), shown where a control
// character would act: what PrintableUtf8 would replace is written instead
// as the escapes of its bytes ("\x1B"), so that a line shows what its file
// holds without a byte of it reaching the terminal raw.
std::string EscapeUnprintable(std::string_view text);

// A path as the user reads it in a panel or a box (UTF-8 on every platform).
std::string PathText(const std::filesystem::path& path);

// The system's reason for a failure, as it reads inside a sentence ("no such
// file or directory").
std::string ReasonText(const std::error_code& error);

}  // namespace px
