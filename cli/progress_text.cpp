#include "cli/progress_text.h"

#include <regex>

namespace px::cli {

std::string ProgressText(std::string_view caption, uint32_t percent, std::string_view unit,
                         uint32_t done, uint32_t steps) {
  std::string line(caption);
  line.append(": ")
      .append(std::to_string(percent))
      .append("%, ")
      .append(unit)
      .append(" ")
      .append(std::to_string(done))
      .append(" of ")
      .append(std::to_string(steps));
  return line;
}

std::optional<ProgressReading> ReadProgressText(std::string_view line) {
  static const std::regex pattern(R"(^(.+): (\d{1,3})%, (?:block|page|read) \d+ of \d+$)");
  std::match_results<std::string_view::const_iterator> match;
  if (!std::regex_match(line.begin(), line.end(), match, pattern)) return std::nullopt;
  return ProgressReading{match[1].str(), static_cast<uint32_t>(std::stoul(match[2].str()))};
}

}  // namespace px::cli
