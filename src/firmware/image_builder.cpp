#include "firmware/image_builder.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <numeric>
#include <vector>

#include "common/bytes.h"
#include "common/number_text.h"
#include "common/text.h"
#include "firmware/file_bytes.h"

namespace px {
namespace {

using namespace config_block;

constexpr char kHeadFileName[] = "SPIHEAD.BIN";
constexpr std::size_t kConfigOffsetField = 16;  // 3 bytes in the head file
constexpr char kVendorTag[] = "MORLIN";

constexpr int kFirstSubCodeRow = 2;
constexpr int kRows = 12;

uint32_t BinSizeBytes(BinSize size) {
  switch (size) {
    case BinSize::OneMBits:
      return 0x20000;
    case BinSize::TwoMBits:
      return 0x40000;
    case BinSize::FourMBits:
      return 0x80000;
    case BinSize::EightMBits:
      return 0x100000;
  }
  return 0;
}

std::string UpperName(const std::filesystem::path& path) {
  std::string name = PathText(path.filename());
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

// Sub-code files are named after their code type: SUB-A0.BIN is type 0xA0.
// A first character that is not a digit counts as 0; a second one that is
// not makes the whole type 0.
uint8_t CodeTypeFromName(const std::string& name, std::size_t dot) {
  const std::optional<uint8_t> low = HexDigitValue(name[dot - 1]);
  if (!low) return 0;
  const uint8_t high = HexDigitValue(name[dot - 2]).value_or(0);
  return static_cast<uint8_t>(high << 4 | *low);
}

}  // namespace

struct ImageBuilder::Parsed {
  uint32_t fanSupported;
  uint32_t fanAlarmLimit;
  uint32_t thermalSupported;
  uint32_t thermalAlarmLimit;
};

ImageBuilder::ImageBuilder(StatusPanels& panels, Messages& messages, FirmwareState& state,
                           uint32_t seed)
    : panels_(panels), messages_(messages), state_(state), random_(seed) {}

void ImageBuilder::Refuse(const std::string& text) {
  messages_.Show("Error", text, MessageIcon::Error);
}

bool ImageBuilder::AddSubCodeFile(const std::filesystem::path& path) {
  const std::string name = UpperName(path);
  if (name == kHeadFileName) {
    entries_[0].path = path;
    return true;
  }
  if (count_ >= kMaxSubCodes) {
    Refuse("No room for " + name + ": an image holds at most 10 sub-codes.");
    return false;
  }
  const std::size_t dot = name.find('.');
  if (dot != std::string::npos && dot < 2) {
    Refuse("Cannot tell the code type of " + name +
           ": the name needs two hex digits before its \".\".");
    return false;
  }
  SubCodeEntry& entry = entries_[static_cast<std::size_t>(count_ + 1)];
  entry.path = path;
  // Without a "." the name says nothing, and the entry keeps the type it had.
  if (dot != std::string::npos) entry.codeType = CodeTypeFromName(name, dot);
  entry.updateFlag = 1;
  ++count_;
  return true;
}

std::string ImageBuilder::CellText(int column, int row) const {
  static constexpr const char* kTitles[] = {"", "Subcode file", "Code Type", "Update Flag"};
  if (column < 0 || column > 3 || row < 0 || row >= kRows) return {};
  if (row == 0) return kTitles[column];
  if (column == 0) {
    return row == 1 ? std::string("Boot Loader") : "SubCode-" + std::to_string(row - 2);
  }
  const int index = row - 1;
  if (index > count_) return {};
  const SubCodeEntry& entry = entries_[static_cast<std::size_t>(index)];
  if (column == 1) return PathText(entry.path.filename());
  if (index == 0) return {};
  if (column == 2) return HexUpper(entry.codeType, 2) + "h";
  return entry.updateFlag ? "TRUE" : "FALSE";
}

CellEditor ImageBuilder::EditorFor(int column, int row) const {
  if (!IsSubCodeRow(row)) return CellEditor::None;
  if (column == 2) return CellEditor::CodeType;
  if (column == 3) return CellEditor::UpdateFlag;
  return CellEditor::None;
}

void ImageBuilder::SetCodeTypeText(int row, std::string_view text) {
  if (!IsSubCodeRow(row)) return;
  EntryAtRow(row).codeType = static_cast<uint8_t>(ParseNumberText(text) & 0xFF);
}

void ImageBuilder::SetUpdateFlag(int row, int item) {
  if (!IsSubCodeRow(row) || item < 0 || item > 1) return;
  EntryAtRow(row).updateFlag = static_cast<uint8_t>(item);
}

void ImageBuilder::KeyDelete(int row) {
  if (!IsSubCodeRow(row)) return;
  const auto first = entries_.begin() + row - 1;
  std::copy(first + 1, entries_.begin() + count_ + 1, first);
  --count_;
}

int ImageBuilder::KeyPlus(int row) {
  if (row <= kFirstSubCodeRow || !IsSubCodeRow(row)) return row;
  std::swap(EntryAtRow(row), EntryAtRow(row - 1));
  return row - 1;
}

int ImageBuilder::KeyMinus(int row) {
  if (!IsSubCodeRow(row) || row == count_ + 1) return row;
  std::swap(EntryAtRow(row), EntryAtRow(row + 1));
  return row + 1;
}

void ImageBuilder::SelectCell(int column, int row) {
  panels_.SetText(2, std::to_string(row - 1));
  if (row < 1 || row > count_ + 1) return;
  const SubCodeEntry& entry = EntryAtRow(row);
  if (column == 1) panels_.SetText(3, PathText(entry.path));
  if (column == 2) panels_.SetText(3, HexUpper(entry.codeType, 2));
  if (column == 3) panels_.SetText(3, entry.updateFlag ? "1" : "0");
}

std::optional<ImageBuilder::Parsed> ImageBuilder::ParseSettings() {
  try {
    return Parsed{ParseNumberText(settings_.fanSupported), ParseNumberText(settings_.fanAlarmLimit),
                  ParseNumberText(settings_.thermalSupported),
                  ParseNumberText(settings_.thermalAlarmLimit)};
  } catch (const ConversionError& e) {
    Refuse(e.what());
    return std::nullopt;
  }
}

std::optional<std::vector<uint8_t>> ImageBuilder::ReadPart(const std::filesystem::path& path) {
  std::optional<std::vector<uint8_t>> bytes = ReadFirmwareSource(path, messages_);
  if (bytes && bytes->size() > kSubCodeSlot) {
    Refuse(PathText(path.filename()) + " has " + std::to_string(bytes->size()) +
           " bytes; a file of the image must fit in its 48 KiB (49152 bytes).");
    return std::nullopt;
  }
  return bytes;
}

bool ImageBuilder::BuildImage() {
  const std::optional<Parsed> parsed = ParseSettings();
  if (!parsed) return false;
  if (entries_[0].path.empty()) {
    Refuse("There is no head file: add SPIHEAD.BIN first.");
    return false;
  }
  const std::optional<std::vector<uint8_t>> head = ReadPart(entries_[0].path);
  if (!head) return false;
  if (head->size() < kConfigOffsetField + 3) {
    Refuse("SPIHEAD.BIN is too short to say where the configuration block lies.");
    return false;
  }
  const auto c = static_cast<uint32_t>(LoadLittleEndian(head->data() + kConfigOffsetField, 3));
  panels_.SetText(1, std::to_string(c));
  if (head->size() > c) {
    Refuse("SPIHEAD.BIN runs into its own configuration block at " + HexUpper(c) + "h.");
    return false;
  }
  if (!settings_.autoSize && !settings_.binSize) {
    Refuse("Choose a bin size, or check \"Bin Size Auto-detected\".");
    return false;
  }
  const uint32_t s = settings_.autoSize ? c + kConfigAreaSize : BinSizeBytes(*settings_.binSize);
  if (s < c + kConfigAreaSize) {
    Refuse("The bin size " + HexUpper(s) + "h is too small: the configuration block at " +
           HexUpper(c) + "h needs " + HexUpper(c + kConfigAreaSize) + "h.");
    return false;
  }
  const uint32_t end = kSubCodeSlot * static_cast<uint32_t>(count_ + 1);
  if (count_ > 0 && end > c) {
    Refuse("The slot of SubCode-" + std::to_string(count_ - 1) + " ends at " + HexUpper(end) +
           "h, past the configuration block at " + HexUpper(c) + "h.");
    return false;
  }
  std::vector<std::vector<uint8_t>> subCodes;
  for (int k = 1; k <= count_; ++k) {
    std::optional<std::vector<uint8_t>> part = ReadPart(entries_[static_cast<std::size_t>(k)].path);
    if (!part) return false;
    subCodes.push_back(std::move(*part));
  }

  std::vector<uint8_t> image(s, kUnsetByte);
  for (uint32_t i = kRandomFillStart; i < c + kConfigBlockSize; ++i) {
    image[i] = static_cast<uint8_t>(random_() & 0xFF);
  }
  uint8_t* block = image.data() + c;
  for (std::size_t i = 0; i < kMaxSubCodes; ++i) block[kRecords + kRecordSize * i] = 0xFF;
  std::copy(head->begin(), head->end(), image.begin());
  block[0] = 0x00;
  block[kVersion] = 0xA0;
  uint8_t functions = static_cast<uint8_t>((settings_.scheduleBackup ? 0x80 : 0) |
                                           (settings_.fastBackup ? 0x40 : 0));
  uint32_t slot = kSubCodeSlot;
  for (std::size_t k = 1; k <= subCodes.size(); ++k) {
    const SubCodeEntry& entry = entries_[k];
    std::copy(subCodes[k - 1].begin(), subCodes[k - 1].end(), image.begin() + slot);
    uint8_t* record = block + kRecords + kRecordSize * (k - 1);
    record[0] = entry.codeType;
    StoreLittleEndian(record + 1, 3, slot);
    record[4] = entry.updateFlag ? kUpdateMarker : 0x00;
    slot += kSubCodeSlot;
    // Types 0-3 in their low half name the functions the firmware carries.
    const unsigned t = entry.codeType & 0x0FU;
    if (t < 4) functions = static_cast<uint8_t>(functions | 1U << t);
  }
  StoreLittleEndian(block + kEndOffset, 3, slot);
  block[kEndOffset + 3] = 0x3F;
  block[kJumper] = settings_.raidModeByJumper ? 0xF1 : 0x11;
  block[kJumper + 1] = settings_.raidModeByJumper ? 0xFF : 0x3F;
  std::fill(block + kZeroFrom, block + kRandomFrom, uint8_t{0});
  block[kChip] = settings_.zl7314bChip ? 0x80 : 0x85;
  block[kSupported] = static_cast<uint8_t>(parsed->thermalSupported << 4 | parsed->fanSupported);
  StoreLittleEndian(block + kFanLimit, 2, parsed->fanAlarmLimit);
  block[kThermalLimit] = static_cast<uint8_t>(parsed->thermalAlarmLimit);
  block[kFunctions] = functions;
  std::copy(kVendorTag, kVendorTag + sizeof kVendorTag, block + kVendor);
  const unsigned sum = std::accumulate(block, block + kSum, 0U);
  StoreLittleEndian(block + kSum, 2, sum);

  panels_.SetText(0, std::to_string(s));
  state_.ReplaceImage(std::move(image));
  return true;
}

bool ImageBuilder::SaveImageFile(const std::filesystem::path& path) {
  std::filesystem::path target = path;
  target.replace_extension(".bin");
  panels_.SetText(3, PathText(target));
  panels_.SetText(2, std::to_string(state_.FirmwareLength()));
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  if (out) {
    const std::vector<uint8_t>& image = state_.FirmwareImage;
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    out.close();
  }
  // A file that could be created but not written is no more saved than one
  // that could not be created.
  if (!out) {
    messages_.Show("Error", "Fail to create file", MessageIcon::Error);
    return false;
  }
  panels_.SetText(3, "Svae File OK :" + PathText(target));
  return true;
}

void ImageBuilder::SaveBinClick(const ChooseImagePath& choose) {
  if (!BuildImage()) return;
  if (const std::optional<std::filesystem::path> path = choose()) SaveImageFile(*path);
}

}  // namespace px
