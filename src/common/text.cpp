#include "common/text.h"

namespace px {

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

std::string SwapPairsToNul(std::span<const uint8_t> field) {
  std::string text = SwapPairs(field);
  const auto nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

std::string TrimRightKeep(std::string text, std::size_t keep) {
  std::size_t end = text.size();
  while (end > keep && text[end - 1] == ' ') --end;
  text.resize(end);
  return text;
}

std::string PathText(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace px
