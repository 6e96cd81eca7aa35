#include "cli/firmware_args.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <vector>

#include "common/number_text.h"

namespace px::cli {
namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::optional<int> FlagValue(const std::string& text) {
  const std::string word = Upper(text);
  if (word == "TRUE" || word == "1") return 1;
  if (word == "FALSE" || word == "0") return 0;
  return std::nullopt;
}

}  // namespace

std::optional<uint32_t> ParseHexArgument(std::string_view text, std::size_t maxDigits) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  } else if (!text.empty() && (text.back() == 'h' || text.back() == 'H')) {
    text.remove_suffix(1);
  }
  if (text.empty() || text.size() > maxDigits) return std::nullopt;
  uint32_t value = 0;
  for (const char c : text) {
    const std::optional<uint8_t> digit = HexDigitValue(c);
    if (!digit) return std::nullopt;
    value = value << 4 | *digit;
  }
  return value;
}

SubCodeArgument ParseSubCodeArgument(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t colon; (colon = text.find(':', start)) != std::string::npos; start = colon + 1) {
    parts.push_back(text.substr(start, colon - start));
  }
  parts.push_back(text.substr(start));
  const bool driveLetter = parts.size() > 1 && parts[0].size() == 1 &&
                           std::isalpha(static_cast<unsigned char>(parts[0][0])) &&
                           !parts[1].empty() && (parts[1][0] == '\\' || parts[1][0] == '/');
  if (driveLetter) {
    parts[1] = parts[0] + ":" + parts[1];
    parts.erase(parts.begin());
  }
  if (parts.size() > 3) throw std::invalid_argument("'" + text + "' is not FILE[:TYPE[:FLAG]]");
  SubCodeArgument argument{parts[0], std::nullopt, std::nullopt};
  if (argument.file.empty()) throw std::invalid_argument("'" + text + "' names no file");
  if (parts.size() > 1 && !parts[1].empty()) {
    if (const std::string wrong = CheckNumberArgument(parts[1]); !wrong.empty()) {
      throw std::invalid_argument("the code type " + wrong);
    }
    argument.type = parts[1];
  }
  if (parts.size() > 2) {
    argument.flag = FlagValue(parts[2]);
    if (!argument.flag) {
      throw std::invalid_argument("the update flag '" + parts[2] + "' is not TRUE or FALSE");
    }
  }
  return argument;
}

std::string CheckHexArgument(const std::string& text, std::size_t maxDigits) {
  if (ParseHexArgument(text, maxDigits)) return {};
  return "'" + text + "' is not a hexadecimal number of at most " + std::to_string(maxDigits) +
         " digits";
}

std::string CheckSubCodeArgument(const std::string& text) {
  try {
    ParseSubCodeArgument(text);
    return {};
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
}

std::string CheckNumberArgument(const std::string& text) {
  try {
    ParseNumberText(text);
    return {};
  } catch (const ConversionError&) {
    return "'" + text + "' is not a number (decimal, or hexadecimal ending in H)";
  }
}

}  // namespace px::cli
