#include "service/config_file.h"

#include <charconv>
#include <sstream>

#include "common/text.h"

namespace px::service {
namespace {

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

ServiceConfig ParseServiceConfig(std::string_view text, const std::string& name) {
  ServiceConfig config;
  std::size_t number = 0;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    line = Trim(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    const std::size_t gap = line.find_first_of(" \t");
    const std::string_view keyword = line.substr(0, gap);
    const std::string_view value = gap == std::string_view::npos ? "" : Trim(line.substr(gap));
    const auto complain = [&](const std::string& why) {
      config.complaints.push_back("line " + std::to_string(number) + " of " + name + ": " + why +
                                  "; it is left out");
    };
    if (value.empty()) {
      complain(PrintableUtf8(keyword) + " has no value");
    } else if (keyword == "MAILADDR") {
      std::string words(value);
      for (char& c : words) {
        if (c == ',') c = ' ';
      }
      std::istringstream split(words);
      for (std::string address; split >> address;) config.mailTo.push_back(address);
    } else if (keyword == "MAILFROM") {
      config.mailFrom = std::string(value);
    } else if (keyword == "PROGRAM") {
      config.program = std::string(value);
    } else if (keyword == "TEXTFILE") {
      config.textfile = std::string(value);
    } else if (keyword == "INTERVAL") {
      uint32_t seconds = 0;
      const auto [rest, error] =
          std::from_chars(value.data(), value.data() + value.size(), seconds);
      if (error != std::errc() || rest != value.data() + value.size() || seconds > 86400) {
        complain("INTERVAL " + PrintableUtf8(value) +
                 " is not a number of seconds from 0 to 86400");
      } else {
        config.intervalSeconds = seconds;
      }
    } else {
      complain(PrintableUtf8(keyword) +
               " is no setting (MAILADDR, MAILFROM, PROGRAM, TEXTFILE, INTERVAL)");
    }
  }
  return config;
}

}  // namespace px::service
