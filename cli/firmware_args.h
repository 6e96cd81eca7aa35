#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace px::cli {

// A hexadecimal number of at most maxDigits digits, written plainly, with a
// leading "0x" or with the trailing "H" the program's number boxes take.
std::optional<uint32_t> ParseHexArgument(std::string_view text, std::size_t maxDigits);

// --sub FILE[:TYPE[:FLAG]]. A drive letter ("C:\...") belongs to the file.
struct SubCodeArgument {
  std::string file;
  std::optional<std::string> type;  // a number as the code type box takes it
  std::optional<int> flag;          // 1 TRUE, 0 FALSE
};
// Throws std::invalid_argument with the reason.
SubCodeArgument ParseSubCodeArgument(const std::string& text);

// CLI11 checks: empty when fine, else the reason.
std::string CheckHexArgument(const std::string& text, std::size_t maxDigits);
std::string CheckSubCodeArgument(const std::string& text);
std::string CheckNumberArgument(const std::string& text);

}  // namespace px::cli
