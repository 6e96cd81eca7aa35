#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace px {

// Upper-case hexadecimal with at least minDigits digits ("0011", "10000").
std::string HexUpper(uint64_t value, int minDigits = 1);

// ATA texts (model, serial, device name, revision) store the two bytes of
// each pair exchanged; this turns such a field back into readable order.
// An odd final byte stays where it is.
std::string SwapPairs(std::span<const uint8_t> field);

// The same field cut at its first NUL, as the log shows device texts.
std::string SwapPairsToNul(std::span<const uint8_t> field);

// Removes trailing spaces but never shortens the text below keep characters.
std::string TrimRightKeep(std::string text, std::size_t keep);

// Device texts are bytes, not necessarily UTF-8; where UTF-8 is required (a
// metric's label, a mail) each byte that does not fit becomes U+FFFD, the
// replacement character, and control characters a space.
std::string PrintableUtf8(std::string_view text);

// A path as the user reads it in a panel or a box (UTF-8 on every platform).
std::string PathText(const std::filesystem::path& path);

}  // namespace px
