#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "common/ui.h"
#include "firmware/firmware_state.h"

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

// One file of the image: entry 0 is the head file (SPIHEAD.BIN), entries 1
// to 10 the sub-codes.
struct SubCodeEntry {
  std::filesystem::path path;
  uint8_t codeType = 0;
  uint8_t updateFlag = 0;  // 1 TRUE, 0 FALSE
};

enum class BinSize { OneMBits, TwoMBits, FourMBits, EightMBits };

// The "Setting" and "Make" pages as the user left them; the number boxes keep
// their text until a build parses it.
struct BuilderSettings {
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

enum class CellEditor { None, CodeType, UpdateFlag };

// The save dialog of "Save Bin": the chosen path, or nullopt on cancel.
using ChooseImagePath = std::function<std::optional<std::filesystem::path>()>;

// The model behind the "Make Bin" window: the sub-code table and its grid
// (4 columns by 12 rows, row 0 and column 0 fixed), the settings, the
// window's own four-panel status bar and the build of a flash image that
// becomes the program's firmware image.
//
// A build checks everything it needs before it changes anything: a refused
// build says why in an "Error" box, saves nothing and keeps the previous
// image.
class ImageBuilder {
 public:
  // `seed` seeds the pseudo-random fill; the window passes the time.
  ImageBuilder(StatusPanels& panels, Messages& messages, FirmwareState& state, uint32_t seed);

  BuilderSettings& settings() { return settings_; }
  const BuilderSettings& settings() const { return settings_; }
  bool SizeGroupEnabled() const { return !settings_.autoSize; }

  int SubCodeCount() const { return count_; }
  const SubCodeEntry& Entry(int index) const {
    return entries_.at(static_cast<std::size_t>(index));
  }

  // "Add Sub-code" for one chosen file: SPIHEAD.BIN becomes the head file,
  // anything else the next sub-code with its code type from the two
  // characters before the first "." of its name. False when refused.
  bool AddSubCodeFile(const std::filesystem::path& path);

  // The grid as it shows now.
  std::string CellText(int column, int row) const;
  CellEditor EditorFor(int column, int row) const;
  // Enter in the code type editor; throws ConversionError (nothing changes)
  // for a text that is not a number.
  void SetCodeTypeText(int row, std::string_view text);
  // An item chosen in the update flag list: 0 FALSE, 1 TRUE.
  void SetUpdateFlag(int row, int item);
  // Keys on the grid with row `row` selected; "+" and "-" return the row
  // selected afterwards. The "Boot Loader" row never moves and is never
  // deleted: the head file has to stay the head file.
  void KeyDelete(int row);
  int KeyPlus(int row);
  int KeyMinus(int row);
  // A cell was selected: its row and what it holds go to panels 2 and 3.
  void SelectCell(int column, int row);

  // Builds the image from the table and settings into the firmware image.
  bool BuildImage();
  // Writes the firmware image to `path` with its extension made ".bin".
  bool SaveImageFile(const std::filesystem::path& path);
  // "Save Bin": build, then the save dialog, then save.
  void SaveBinClick(const ChooseImagePath& choose);

 private:
  struct Parsed;
  void Refuse(const std::string& text);
  std::optional<Parsed> ParseSettings();
  std::optional<std::vector<uint8_t>> ReadPart(const std::filesystem::path& path);
  SubCodeEntry& EntryAtRow(int row) { return entries_[static_cast<std::size_t>(row - 1)]; }
  bool IsSubCodeRow(int row) const { return row >= 2 && row <= count_ + 1; }

  StatusPanels& panels_;
  Messages& messages_;
  FirmwareState& state_;
  std::mt19937 random_;
  BuilderSettings settings_;
  std::array<SubCodeEntry, kMaxSubCodes + 1> entries_{};
  int count_ = 0;
};

}  // namespace px
