#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "device/knock.h"

namespace px::sim {

// A knock frame rebuilt from the LBAs that spelled it.
struct RecognisedKnock {
  std::array<uint8_t, 148> frame{};
  bool longForm = false;
  bool checksumOk = false;  // CRC-32 at 16 (short) or 144 (long), most significant byte first
};

// The controller's ear: it watches every sector read and spells a frame out of
// them. The frame is the preamble 67 113 167 223, four header reads 0x1xx,
// four command reads 0x2xx, then either four checksum reads 0x4xx (short
// form) or 128 payload reads 0x3xx and four checksum reads (long form).
//
// - Reads of 0x5FFF are separators: they never change the position.
// - A read equal to the last symbol, with no separator since, is the same
//   symbol seen again and is ignored; that is why the host separates equal
//   neighbours with 0x5FFF.
// - Any other read that does not fit the position drops the frame; a read of
//   67 there starts a new one.
// Not thread-safe; its owner locks.
class KnockRecogniser {
 public:
  // Feeds one sector read. Returns the frame once its last checksum read
  // arrives, whether its checksum is right or not.
  std::optional<RecognisedKnock> Feed(uint32_t lba);
  void Reset();
  // The read would be the last symbol seen again (no separator since).
  bool IsRepeat(uint32_t lba) const { return lastSymbol_ == lba; }
  // Symbols taken so far for the frame under way (0 when idle).
  std::size_t position() const { return position_; }

 private:
  std::size_t position_ = 0;  // next frame byte group: 0-3 preamble, 4.. symbols
  bool longForm_ = false;
  std::optional<uint32_t> lastSymbol_;
  std::array<uint8_t, 148> frame_{};
};

}  // namespace px::sim
