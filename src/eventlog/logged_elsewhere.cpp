#include "eventlog/logged_elsewhere.h"

#include <algorithm>

namespace px {

void MirrorLines(EventLogState& mirror, std::vector<std::string> lines) {
  std::vector<std::string>& shown = mirror.LogLines;
  const bool extends =
      lines.size() >= shown.size() && std::equal(shown.begin(), shown.end(), lines.begin());
  if (!extends) ++mirror.Rewrites;
  shown = std::move(lines);
}

}  // namespace px
