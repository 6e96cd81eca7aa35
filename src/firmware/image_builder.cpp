#include "firmware/image_builder.h"

#include <algorithm>
#include <numeric>

#include "common/bytes.h"
#include "common/number_text.h"
#include "common/text.h"

namespace px {
namespace {

using namespace config_block;

constexpr std::size_t kConfigOffsetField = 16;  // 3 bytes in the head file
constexpr char kVendorTag[] = "MORLIN";

struct Numbers {
  uint32_t fanSupported;
  uint32_t fanAlarmLimit;
  uint32_t thermalSupported;
  uint32_t thermalAlarmLimit;
};

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

ImageRefusal ErrorBox(std::string text) {
  return {"Error", std::move(text)};
}

ImageBuild Refused(ImageRefusal refusal, std::optional<uint32_t> c = std::nullopt) {
  return {c, std::move(refusal), {}};
}

// A file of the image must be there and fit in its 48 KiB.
std::optional<ImageRefusal> PartRefusal(const ImageFile& file) {
  if (file.unreadable) return file.unreadable;
  if (file.bytes.size() <= kSubCodeSlot) return std::nullopt;
  return ErrorBox(file.name + " has " + std::to_string(file.bytes.size()) +
                  " bytes; a file of the image must fit in its 48 KiB (49152 bytes).");
}

// Everything has been checked: every part fits in its place.
std::vector<uint8_t> LayOut(const ImageParts& parts, const ImageSettings& settings,
                            const Numbers& numbers, uint32_t c, uint32_t s, std::mt19937& fill) {
  std::vector<uint8_t> image(s, kUnsetByte);
  for (uint32_t i = kRandomFillStart; i < c + kConfigBlockSize; ++i) {
    image[i] = static_cast<uint8_t>(fill() & 0xFF);
  }
  uint8_t* block = image.data() + c;
  for (std::size_t i = 0; i < kMaxSubCodes; ++i) block[kRecords + kRecordSize * i] = 0xFF;
  const std::vector<uint8_t>& head = parts.head->bytes;
  std::copy(head.begin(), head.end(), image.begin());
  block[0] = 0x00;
  block[kVersion] = 0xA0;
  uint8_t functions =
      static_cast<uint8_t>((settings.scheduleBackup ? 0x80 : 0) | (settings.fastBackup ? 0x40 : 0));
  uint32_t slot = kSubCodeSlot;
  uint8_t* record = block + kRecords;
  for (const SubCode& subCode : parts.subCodes) {
    std::copy(subCode.file.bytes.begin(), subCode.file.bytes.end(), image.begin() + slot);
    record[0] = subCode.codeType;
    StoreLittleEndian(record + 1, 3, slot);
    record[4] = subCode.update ? kUpdateMarker : 0x00;
    record += kRecordSize;
    slot += kSubCodeSlot;
    // Types 0-3 in their low half name the functions the firmware carries.
    const unsigned t = subCode.codeType & 0x0FU;
    if (t < 4) functions = static_cast<uint8_t>(functions | 1U << t);
  }
  StoreLittleEndian(block + kEndOffset, 3, slot);
  block[kEndOffset + 3] = 0x3F;
  block[kJumper] = settings.raidModeByJumper ? 0xF1 : 0x11;
  block[kJumper + 1] = settings.raidModeByJumper ? 0xFF : 0x3F;
  std::fill(block + kZeroFrom, block + kRandomFrom, uint8_t{0});
  block[kChip] = settings.zl7314bChip ? 0x80 : 0x85;
  block[kSupported] = static_cast<uint8_t>(numbers.thermalSupported << 4 | numbers.fanSupported);
  StoreLittleEndian(block + kFanLimit, 2, numbers.fanAlarmLimit);
  block[kThermalLimit] = static_cast<uint8_t>(numbers.thermalAlarmLimit);
  block[kFunctions] = functions;
  std::copy(kVendorTag, kVendorTag + sizeof kVendorTag, block + kVendor);
  const unsigned sum = std::accumulate(block, block + kSum, 0U);
  StoreLittleEndian(block + kSum, 2, sum);
  return image;
}

}  // namespace

std::string NoRoomText(std::string_view name) {
  return "No room for " + std::string(name) + ": an image holds at most 10 sub-codes.";
}

ImageBuild BuildImage(const ImageParts& parts, const ImageSettings& settings, std::mt19937& fill) {
  if (parts.subCodes.size() > kMaxSubCodes) {
    return Refused(ErrorBox(NoRoomText(parts.subCodes[kMaxSubCodes].file.name)));
  }
  Numbers numbers{};
  try {
    numbers = {ParseNumberText(settings.fanSupported), ParseNumberText(settings.fanAlarmLimit),
               ParseNumberText(settings.thermalSupported),
               ParseNumberText(settings.thermalAlarmLimit)};
  } catch (const ConversionError& e) {
    return Refused(ErrorBox(e.what()));
  }
  if (!parts.head) return Refused(ErrorBox("There is no head file: add SPIHEAD.BIN first."));
  if (std::optional<ImageRefusal> refusal = PartRefusal(*parts.head)) return Refused(*refusal);
  const std::vector<uint8_t>& head = parts.head->bytes;
  if (head.size() < kConfigOffsetField + 3) {
    return Refused(ErrorBox("SPIHEAD.BIN is too short to say where the configuration block lies."));
  }
  const auto c = static_cast<uint32_t>(LoadLittleEndian(head.data() + kConfigOffsetField, 3));
  if (head.size() > c) {
    return Refused(
        ErrorBox("SPIHEAD.BIN runs into its own configuration block at " + HexUpper(c) + "h."), c);
  }
  if (!settings.autoSize && !settings.binSize) {
    return Refused(ErrorBox("Choose a bin size, or check \"Bin Size Auto-detected\"."), c);
  }
  const uint32_t s = settings.autoSize ? c + kConfigAreaSize : BinSizeBytes(*settings.binSize);
  if (s < c + kConfigAreaSize) {
    return Refused(
        ErrorBox("The bin size " + HexUpper(s) + "h is too small: the configuration block at " +
                 HexUpper(c) + "h needs " + HexUpper(c + kConfigAreaSize) + "h."),
        c);
  }
  const auto count = static_cast<uint32_t>(parts.subCodes.size());
  const uint32_t end = kSubCodeSlot * (count + 1);
  if (count > 0 && end > c) {
    return Refused(
        ErrorBox("The slot of SubCode-" + std::to_string(count - 1) + " ends at " + HexUpper(end) +
                 "h, past the configuration block at " + HexUpper(c) + "h."),
        c);
  }
  for (const SubCode& subCode : parts.subCodes) {
    if (std::optional<ImageRefusal> refusal = PartRefusal(subCode.file))
      return Refused(*refusal, c);
  }
  return {c, std::nullopt, LayOut(parts, settings, numbers, c, s, fill)};
}

}  // namespace px
