#include "sim/knock_recogniser.h"

#include <algorithm>

#include "common/bytes.h"
#include "device/checksum.h"

namespace px::sim {
namespace {

// Symbol counts: 4 preamble, 4 header, 4 command, then 4 checksum (short)
// or 128 payload and 4 checksum (long).
constexpr std::size_t kHeaderAt = 4;
constexpr std::size_t kCommandAt = 8;
constexpr std::size_t kBodyAt = 12;
constexpr std::size_t kShortSymbols = 16;
constexpr std::size_t kLongSymbols = 144;

bool InPart(uint32_t lba, uint32_t base) {
  return lba >= base && lba < base + 0x100;
}

}  // namespace

void KnockRecogniser::Reset() {
  position_ = 0;
  longForm_ = false;
  lastSymbol_.reset();
}

std::optional<RecognisedKnock> KnockRecogniser::Feed(uint32_t lba) {
  if (lba == kSeparatorLba) {
    lastSymbol_.reset();
    return std::nullopt;
  }
  // The same sector read twice in a row is one symbol seen twice.
  if (lastSymbol_ == lba) return std::nullopt;
  lastSymbol_ = lba;

  const std::size_t k = position_;
  bool fits = false;
  if (k < kHeaderAt) {
    fits = lba == kPreamble[2 * k];
    if (fits && k == 0) std::copy(kPreamble.begin(), kPreamble.end(), frame_.begin());
  } else if (k < kCommandAt) {
    fits = InPart(lba, kHeaderLbaBase);
  } else if (k < kBodyAt) {
    fits = InPart(lba, kCommandLbaBase);
  } else if (k == kBodyAt) {
    // The first symbol after the command says which form this is.
    if (InPart(lba, kChecksumLbaBase)) {
      fits = true;
      longForm_ = false;
    } else if (InPart(lba, kPayloadLbaBase)) {
      fits = true;
      longForm_ = true;
    }
  } else if (longForm_ && k < kLongSymbols - 4) {
    fits = InPart(lba, kPayloadLbaBase);
  } else {
    fits = InPart(lba, kChecksumLbaBase);
  }

  if (!fits) {
    // A stray read drops the frame; the start of a preamble begins a new one.
    position_ = 0;
    longForm_ = false;
    if (lba == kPreamble[0]) {
      std::copy(kPreamble.begin(), kPreamble.end(), frame_.begin());
      position_ = 1;
    }
    return std::nullopt;
  }

  // Symbols after the preamble carry one frame byte each, from offset 8.
  if (k >= kHeaderAt) frame_[k + 4] = static_cast<uint8_t>(lba & 0xFF);
  position_ = k + 1;

  const std::size_t total = longForm_ ? kLongSymbols : kShortSymbols;
  if (position_ < total) return std::nullopt;

  RecognisedKnock knock;
  knock.longForm = longForm_;
  const std::size_t covered = longForm_ ? 144 : 16;
  std::copy_n(frame_.begin(), covered + 4, knock.frame.begin());
  const uint32_t crc = RecordChecksum(knock.frame.data(), covered);
  knock.checksumOk = LoadBigEndian(knock.frame.data() + covered, 4) == crc;
  position_ = 0;
  longForm_ = false;
  return knock;
}

}  // namespace px::sim
