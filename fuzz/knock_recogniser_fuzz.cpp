// The virtual controller's ear. Fed any stream of sector reads, it takes
// out of it the frames a second recogniser, written from the rules alone,
// takes out; and a command the program plays, whatever came before it, is
// recognised as exactly the frame the program built, its checksum right
// unless the input spoiled it on the way.
//
// Input: steps until the input ends. A step byte's low two bits say what:
// 0 one read (the high bits choose the part of the LBA space, a byte more
// its low bits), 1 a command as the program plays it (header, command, long
// form and payload, and whether a checksum byte is spoiled), 2 a separator
// read, 3 the recogniser reset.

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "device/knock.h"
#include "reference.h"
#include "sim/knock_recogniser.h"
#include "support.h"

namespace px::fuzz {
namespace {

using Frame = std::array<uint8_t, 148>;

struct Heard {
  Frame frame{};
  bool longForm = false;
  bool checksumOk = false;
  friend bool operator==(const Heard&, const Heard&) = default;
};

// The rules of the recogniser: a preamble of 67 113 167 223, four reads of
// 0x1xx, four of 0x2xx, then four of 0x4xx (short) or 128 of 0x3xx and four
// of 0x4xx (long); 0x5FFF is a separator; a read equal to the last one with
// no separator between is the same read again; any other read that does not
// fit drops the frame, and a 67 begins a new one.
class Rules {
 public:
  std::optional<Heard> Feed(uint32_t lba) {
    if (lba == 0x5FFF) {
      last_.reset();
      return std::nullopt;
    }
    if (last_ == lba) return std::nullopt;
    last_ = lba;
    static constexpr uint32_t kPreamble[] = {0x43, 0x71, 0xA7, 0xDF};
    const auto within = [lba](uint32_t base) { return lba >= base && lba <= base + 0xFF; };
    bool fits = false;
    if (taken_ < 4) {
      fits = lba == kPreamble[taken_];
    } else if (taken_ < 8) {
      fits = within(0x100);
    } else if (taken_ < 12) {
      fits = within(0x200);
    } else if (taken_ == 12) {
      longForm_ = within(0x300);
      fits = longForm_ || within(0x400);
    } else {
      fits = (longForm_ && taken_ < 140) ? within(0x300) : within(0x400);
    }
    if (!fits) {
      taken_ = lba == 0x43 ? 1 : 0;
      longForm_ = false;
      bytes_.clear();
      return std::nullopt;
    }
    if (taken_ >= 4) bytes_.push_back(static_cast<uint8_t>(lba & 0xFF));
    ++taken_;
    if (taken_ < (longForm_ ? 144U : 16U)) return std::nullopt;

    Heard heard;
    const uint8_t preamble[] = {0x43, 0, 0x71, 0, 0xA7, 0, 0xDF, 0};
    std::copy(std::begin(preamble), std::end(preamble), heard.frame.begin());
    std::copy(bytes_.begin(), bytes_.end(), heard.frame.begin() + 8);
    heard.longForm = longForm_;
    const std::size_t covered = longForm_ ? 144 : 16;
    heard.checksumOk = ref::Crc32(std::span(heard.frame).first(covered)) ==
                       ref::BigEndian(std::span(heard.frame).subspan(covered, 4));
    taken_ = 0;
    longForm_ = false;
    bytes_.clear();
    return heard;
  }
  void Reset() {
    taken_ = 0;
    longForm_ = false;
    bytes_.clear();
    last_.reset();
  }
  std::size_t taken() const { return taken_; }

 private:
  std::size_t taken_ = 0;
  bool longForm_ = false;
  std::vector<uint8_t> bytes_;
  std::optional<uint32_t> last_;
};

class Ears {
 public:
  // Both recognisers hear the read and must agree.
  std::optional<Heard> Feed(uint32_t lba) {
    const std::optional<sim::RecognisedKnock> got = recogniser_.Feed(lba);
    const std::optional<Heard> expected = rules_.Feed(lba);
    std::optional<Heard> heard;
    if (got) heard = Heard{got->frame, got->longForm, got->checksumOk};
    Expect(heard == expected, "read of LBA " + std::to_string(lba) + ": the recogniser " +
                                  (heard ? "heard a frame" : "heard nothing") + ", the rules " +
                                  (expected ? "a frame" : "nothing"));
    Expect(recogniser_.position() == rules_.taken(),
           "after LBA " + std::to_string(lba) + " the recogniser is at symbol " +
               std::to_string(recogniser_.position()) + ", the rules at " +
               std::to_string(rules_.taken()));
    return heard;
  }
  void Reset() {
    recogniser_.Reset();
    rules_.Reset();
  }

 private:
  sim::KnockRecogniser recogniser_;
  Rules rules_;
};

uint32_t SomeLba(uint8_t step, Input& in) {
  const uint8_t low = in.Byte();
  switch ((step >> 2) % 8) {
    case 0:
      return std::array<uint32_t, 4>{0x43, 0x71, 0xA7, 0xDF}[low % 4];
    case 1:
      return 0x100U + low;
    case 2:
      return 0x200U + low;
    case 3:
      return 0x300U + low;
    case 4:
      return 0x400U + low;
    case 5:
      return 0x500U + low;
    case 6:
      return kReplyLba;
    default:
      return uint32_t{in.U16()} << 8 | low;
  }
}

// A command built and played as the channel plays it: equal neighbours
// separated by a read of 0x5FFF.
void PlayCommand(uint8_t step, Input& in, Ears& ears) {
  KnockCommand command;
  for (uint8_t& b : command.header) b = in.Byte();
  for (uint8_t& b : command.command) b = in.Byte();
  const bool longForm = (step & 0x04) != 0;
  std::array<uint8_t, kPayloadSize> payload{};
  if (longForm) {
    const auto bytes = in.Bytes(kPayloadSize);
    std::copy(bytes.begin(), bytes.end(), payload.begin());
    command.payload = payload.data();
  }
  CommandRecord record;
  BuildCommand(record, command);
  EncodeLbaList(record);
  const std::size_t covered = longForm ? 144 : 16;
  // Bit 3: one checksum read spoiled on the way (bits 4-5 say which).
  const bool spoiled = (step & 0x08) != 0;
  if (spoiled) {
    const std::size_t which = record.LbaCount - 4 + ((step >> 4) & 3U);
    record.LbaList[which] ^= 0x01;
    record.Frame[covered + ((step >> 4) & 3U)] ^= 0x01;
  }
  std::optional<Heard> heard;
  uint32_t previous = 0;
  for (std::size_t i = 0; i < record.LbaCount; ++i) {
    const uint32_t lba = record.LbaList[i];
    if (lba == previous) ears.Feed(kSeparatorLba);
    heard = ears.Feed(lba);
    Expect(!heard || i + 1 == record.LbaCount, "a frame was heard before the command ended");
    previous = lba;
  }
  Expect(heard.has_value(), "a command as the program plays it was not heard");
  Expect(heard->longForm == longForm, "the frame's form");
  Expect(std::equal(record.Frame.begin(), record.Frame.begin() + static_cast<long>(covered + 4),
                    heard->frame.begin()),
         "the frame heard is not the frame played: " +
             Hex(std::span(heard->frame).first(covered + 4)));
  Expect(heard->checksumOk == !spoiled, "the checksum of a frame played");
}

}  // namespace
}  // namespace px::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace px::fuzz;
  Input in(data, size);
  Ears ears;
  while (!in.empty()) {
    const uint8_t step = in.Byte();
    switch (step & 3U) {
      case 0:
        ears.Feed(SomeLba(step, in));
        break;
      case 1:
        PlayCommand(step, in, ears);
        break;
      case 2:
        ears.Feed(px::kSeparatorLba);
        break;
      default:
        ears.Reset();
        break;
    }
  }
  return 0;
}
