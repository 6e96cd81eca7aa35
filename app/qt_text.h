#pragma once

#include <QString>
#include <string_view>

namespace px::app {

// The core speaks UTF-8 std::string; the widgets QString.
inline QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace px::app
