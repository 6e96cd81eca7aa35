#include "common/text.h"

#include <cctype>

namespace px {

namespace {

// What a text is made of, character by character, for the two ways of
// making it safe to show.
enum class Piece { Printable, Control, Invalid };

bool IsControl(uint32_t codePoint) {
  return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F) || codePoint == 0x2028 ||
         codePoint == 0x2029;
}

// Calls each(piece, bytes) for every character of text in order. A sequence
// that is not UTF-8 comes as one Invalid piece of its lead byte and the
// continuation bytes that did follow it, as the Unicode standard recommends
// for replacing it.
template <typename Each>
void ForEachPiece(std::string_view text, Each each) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    // The length of the sequence `lead` starts and the range of its second
    // byte, which rules out overlong forms, surrogates and values past
    // U+10FFFF.
    std::size_t length = 0;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    std::size_t good = length == 0 ? 0 : 1;
    uint32_t codePoint = length <= 1 ? lead : lead & (0x7FU >> length);
    while (good > 0 && good < length && i + good < text.size()) {
      const auto next = static_cast<uint8_t>(text[i + good]);
      if (next < (good == 1 ? low : 0x80) || next > (good == 1 ? high : 0xBF)) break;
      codePoint = (codePoint << 6) | (next & 0x3FU);
      ++good;
    }
    if (length != 0 && good == length) {
      each(IsControl(codePoint) ? Piece::Control : Piece::Printable, text.substr(i, length));
      i += length;
    } else {
      const std::size_t invalid = good == 0 ? 1 : good;
      each(Piece::Invalid, text.substr(i, invalid));
      i += invalid;
    }
  }
}

}  // namespace

std::string HexUpper(uint64_t value, int minDigits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  while (out.size() < static_cast<std::size_t>(minDigits)) out.insert(out.begin(), '0');
  return out;
}

std::string SwapPairs(std::span<const uint8_t> field) {
  std::string out(field.size(), ' ');
  for (std::size_t i = 0; i < field.size(); ++i) {
    const std::size_t from = i ^ 1U;
    out[i] = static_cast<char>(from < field.size() ? field[from] : field[i]);
  }
  return out;
}

std::string DeviceText(std::span<const uint8_t> field) {
  std::string text = SwapPairs(field);
  const auto nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return PrintableUtf8(text);
}

std::string TrimRightKeep(std::string text, std::size_t keep) {
  std::size_t end = text.size();
  while (end > keep && text[end - 1] == ' ') --end;
  text.resize(end);
  return text;
}

std::string PrintableUtf8(std::string_view text) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  std::string printable;
  ForEachPiece(text, [&printable](Piece piece, std::string_view bytes) {
    switch (piece) {
      case Piece::Printable:
        printable.append(bytes);
        break;
      case Piece::Control:
        printable += ' ';
        break;
      case Piece::Invalid:
        printable += kReplacement;
        break;
    }
  });
  return printable;
}

std::string EscapeUnprintable(std::string_view text) {
  std::string escaped;
  ForEachPiece(text, [&escaped](Piece piece, std::string_view bytes) {
    if (piece == Piece::Printable) {
      escaped.append(bytes);
      return;
    }
    for (const char byte : bytes) escaped += "\\x" + HexUpper(static_cast<uint8_t>(byte), 2);
  });
  return escaped;
}

std::string PathText(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::string ReasonText(const std::error_code& error) {
  std::string text = error.message();
  // Windows ends its messages with a full stop and a line break.
  while (!text.empty() &&
         (text.back() == '.' || std::isspace(static_cast<unsigned char>(text.back())))) {
    text.pop_back();
  }
  // "Permission denied" reads "permission denied" after a colon; an
  // abbreviation keeps its capitals.
  if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
      std::islower(static_cast<unsigned char>(text[1]))) {
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  }
  return text;
}

}  // namespace px
