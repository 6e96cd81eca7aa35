#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace px {

// Layout of a built flash image.
inline constexpr int kMaxSubCodes = 10;
inline constexpr uint32_t kSubCodeSlot = 0xC000;      // 48 KiB per sub-code, slot k at k * 0xC000
inline constexpr uint32_t kRandomFillStart = 0x8000;  // pseudo-random bytes from here to C + 255
inline constexpr uint32_t kConfigBlockSize = 256;
inline constexpr uint32_t kConfigAreaSize =
    0x8000;                                  // C to C + 0x7FFF; the image is at least C + this
inline constexpr uint8_t kUnsetByte = 0xFF;  // what erased flash reads as

// The configuration block at C; multi-byte numbers little-endian.
namespace config_block {
inline constexpr std::size_t kVersion = 1;     // 0xA0
inline constexpr std::size_t kRecords = 2;     // ten records of 5 bytes
inline constexpr std::size_t kRecordSize = 5;  // code type, slot (3), update marker
inline constexpr std::size_t kEndOffset = 52;  // 3 bytes
inline constexpr std::size_t kJumper = 56;     // 2 bytes
inline constexpr std::size_t kZeroFrom = 58;   // zero up to 127 unless set below
inline constexpr std::size_t kChip = 107;
inline constexpr std::size_t kSupported = 108;  // thermal << 4 | fan
inline constexpr std::size_t kFanLimit = 109;   // 2 bytes
inline constexpr std::size_t kThermalLimit = 111;
inline constexpr std::size_t kFunctions = 113;
inline constexpr std::size_t kVendor = 114;  // "MORLIN" and a zero byte
inline constexpr std::size_t kRandomFrom = 128;
inline constexpr std::size_t kSum = 254;  // 16-bit sum of bytes 0-253
inline constexpr uint8_t kUpdateMarker = 0x5A;
}  // namespace config_block

enum class BinSize { OneMBits, TwoMBits, FourMBits, EightMBits };

// The "Setting" and "Make" pages as the user left them; the number boxes keep
// their text until a build parses it.
struct ImageSettings {
  bool raidModeByJumper = true;          // "RAID Mode setting by  jumper"
  bool zl7314bChip = true;               // "ZL7314B chip"
  std::string fanSupported = "1";        // Edit2
  std::string fanAlarmLimit = "2000";    // Edit3, RPM
  std::string thermalSupported = "1";    // Edit4
  std::string thermalAlarmLimit = "50";  // Edit5, degrees Celsius
  bool scheduleBackup = false;
  bool fastBackup = false;
  bool autoSize = true;  // "Bin Size Auto-detected"
  std::optional<BinSize> binSize;
};

// Why there is no image: the box that says so, always with the error icon.
struct ImageRefusal {
  std::string title;
  std::string text;
  friend bool operator==(const ImageRefusal&, const ImageRefusal&) = default;
};

// One file of the image as it was read: its bytes, or the box that told why
// it could not be read.
struct ImageFile {
  std::string name;  // as refusals name it
  std::vector<uint8_t> bytes;
  std::optional<ImageRefusal> unreadable;
};

struct SubCode {
  ImageFile file;
  uint8_t codeType = 0;
  bool update = true;
};

// What an image is made of besides its settings.
struct ImageParts {
  std::optional<ImageFile> head;  // none: no head file was chosen
  std::vector<SubCode> subCodes;  // in slot order
};

// What a build came to.
struct ImageBuild {
  // Where the head file puts the configuration block, known once the head
  // file has passed its own checks, so a build refused after that still
  // tells it.
  std::optional<uint32_t> configOffset;
  std::optional<ImageRefusal> refusal;
  std::vector<uint8_t> image;  // the whole image; empty when refused
};

// The flash image of `parts` and `settings`, or the first thing that stands
// in its way, looked at in this order: the settings' numbers, the head file
// (chosen, readable, within 48 KiB, long enough to place the configuration
// block, short of it), the size, the slots, then each sub-code (readable,
// within 48 KiB). An unreadable file is told in its turn, so what the user
// hears first does not depend on which files were read.
//
// The pseudo-random fill is drawn from `fill`, only for an image that is
// made, and leaves it where it stopped: the builds of one window continue one
// stream from its seed.
ImageBuild BuildImage(const ImageParts& parts, const ImageSettings& settings, std::mt19937& fill);

// The refusal of a sub-code past the tenth, `name` as the user chose it.
std::string NoRoomText(std::string_view name);

}  // namespace px
