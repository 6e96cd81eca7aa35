#pragma once

#include <cstddef>
#include <string_view>

#include "common/bytes.h"
#include "raid/records.h"

namespace px::testing {

// Writes text as the controller stores ATA texts: space padded to size, the
// two bytes of each pair exchanged.
inline void PutAtaText(Record& r, std::size_t at, std::size_t size, std::string_view text) {
  for (std::size_t i = 0; i < size; ++i) {
    r[at + (i ^ 1U)] = static_cast<uint8_t>(i < text.size() ? text[i] : ' ');
  }
}

inline void PutNumber(Record& r, std::size_t at, std::size_t size, uint64_t value) {
  StoreLittleEndian(r.data() + at, size, value);
}

// A mirror's status record as a poll leaves it: valid, the port and progress
// flags and the percentage given, no texts.
inline Record MirrorStatus(uint8_t portFlags, uint8_t progressFlags = 0, uint8_t percent = 0) {
  Record r{};
  r[status::kType] = kRecordValid;
  r[status::kMode] = kModeMirror;
  r[status::kPortFlags] = portFlags;
  r[status::kProgressFlags] = progressFlags;
  r[status::kProgress] = percent;
  return r;
}

}  // namespace px::testing
