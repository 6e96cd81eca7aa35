#pragma once

#include <nlohmann/json.hpp>

namespace px::cli {

// The version of pxraid's JSON answers (status --json, history --json and
// pxraidd's answers of them), as smartctl -j gives its own: [major, minor].
// A key added moves the minor number; a key removed or renamed, or a value
// whose meaning changed, the major.
inline nlohmann::ordered_json JsonFormatVersion() {
  return nlohmann::ordered_json::array({1, 0});
}

// `json` (an object) with the format version as its first key, where a
// reader looks before anything else.
inline nlohmann::ordered_json Versioned(const nlohmann::ordered_json& json) {
  nlohmann::ordered_json versioned = {{"json_format_version", JsonFormatVersion()}};
  for (const auto& [key, value] : json.items()) versioned[key] = value;
  return versioned;
}

}  // namespace px::cli
