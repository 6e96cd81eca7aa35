// Loading a firmware file: the image is kept only when the file passes the
// CRC, GUID, signature and product rules, in that order, and is then the
// file byte for byte; otherwise there is no image and one "Error" box says
// which rule failed first.
//
// Input: flags (bit 0 body length = the rest of the file, bit 1 CRC made
// right, bit 2 GUID made right, bit 3 signature made right), the device's
// firmware version (4 bytes) and product code (2 bytes), then the file.

#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "firmware/firmware_file.h"
#include "firmware/firmware_state.h"
#include "reference.h"
#include "support.h"
#include "support/recording_ui.h"

namespace px::fuzz {
namespace {

constexpr std::array<uint8_t, 16> kGuid = {0xEF, 0x6D, 0x16, 0xAE, 0xDC, 0x6F, 0x4C, 0x47,
                                           0x9B, 0xA4, 0xB6, 0xAA, 0xE4, 0xB6, 0x9A, 0x84};
constexpr std::array<uint8_t, 4> kSignature = {'Q', 'K', 'R', 'Z'};

void Put32(std::span<uint8_t> bytes, std::size_t at, uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

std::string HexText(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

bool Paired(uint8_t p0, uint8_t p1) {
  return p0 == 0x27 && (p1 == 0x60 || p1 == 0x70);
}

// Which rule the file breaks first: nullopt when it is to be loaded, an
// empty text for the too-short and body-past-the-end refusals (worded as the
// program likes), else the text the user must read.
std::optional<std::string> Broken(const std::vector<uint8_t>& file, uint32_t deviceVersion,
                                  const std::array<uint8_t, 2>& deviceProduct) {
  if (file.size() < 176) return "";
  const auto n = static_cast<uint32_t>(ref::BigEndian({file.data() + 148, 4}));
  if (n > file.size() - 176) return "";
  if (ref::Crc32({file.data() + 176, n}) != ref::BigEndian({file.data() + 152, 4}))
    return "Threr are CRC error in the firmware file.\nPlease check it.";
  if (!std::equal(kGuid.begin(), kGuid.end(), file.begin() + 132))
    return "Threr are GUID error in the firmware file.\nPlease check it.";
  if (!std::equal(kSignature.begin(), kSignature.end(), file.begin() + 128))
    return "Threr are METADATA_SINGATURE error in the firmware file.\nPlease check it.";
  const auto fileVersion = static_cast<uint32_t>(ref::BigEndian({file.data() + 156, 4}));
  if (deviceVersion > 0x13122500 && fileVersion > 0x13122500) {
    const uint8_t f0 = file[160];
    const uint8_t f1 = file[161];
    const bool accepted = Paired(deviceProduct[0], deviceProduct[1])
                              ? Paired(f0, f1)
                              : f0 == deviceProduct[0] && f1 == deviceProduct[1];
    if (!accepted) return "The firmware is not for this product.\nPlease check it.";
  }
  return std::nullopt;
}

}  // namespace
}  // namespace px::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace px;
  using namespace px::fuzz;
  Input in(data, size);
  const uint8_t flags = in.Byte();
  const uint32_t deviceVersion = in.U32();
  const std::array<uint8_t, 2> deviceProduct{in.Byte(), in.Byte()};
  const std::span<const uint8_t> rest = in.Rest();
  std::vector<uint8_t> file(rest.begin(), rest.end());
  if (file.size() >= 176) {
    if ((flags & 0x01) != 0) Put32(file, 148, static_cast<uint32_t>(file.size() - 176));
    const auto n = static_cast<uint32_t>(ref::BigEndian({file.data() + 148, 4}));
    if ((flags & 0x02) != 0 && n <= file.size() - 176)
      Put32(file, 152, ref::Crc32({file.data() + 176, n}));
    if ((flags & 0x04) != 0) std::copy(kGuid.begin(), kGuid.end(), file.begin() + 132);
    if ((flags & 0x08) != 0) std::copy(kSignature.begin(), kSignature.end(), file.begin() + 128);
  }
  const std::filesystem::path path = ScratchFolder() / "firmware.bin";
  WriteFile(path, file);

  std::array<uint8_t, kSectorSize> config{};
  Put32(config, 46, deviceVersion);
  config[50] = deviceProduct[0];
  config[51] = deviceProduct[1];

  FirmwareState state;
  state.ReplaceImage({1, 2, 3});  // a previous image, which any load drops
  test::RecordingPanels panels;
  test::RecordingMessages messages;
  const std::error_code reason = LoadFirmwareFile(path, config, state, panels, messages);
  Expect(!reason, "a file that is there could not be read: " + reason.message());

  const std::optional<std::string> broken = Broken(file, deviceVersion, deviceProduct);
  const auto boxes = messages.boxes();
  if (!broken) {
    Expect(boxes.empty(), "a good file got a box: " + (boxes.empty() ? "" : boxes[0].text));
    Expect(state.FirmwareImage == file, "the image kept is not the file");
  } else {
    Expect(state.FirmwareImage.empty(), "a refused file left an image: " + *broken);
    Expect(boxes.size() == 1, "a refused file must get exactly one box");
    Expect(boxes[0].title == "Error" && boxes[0].icon == MessageIcon::Error,
           "a refusal is an \"Error\" box with the error icon");
    if (broken->empty()) {
      Expect(!boxes[0].text.empty() && boxes[0].text.find("Threr") == std::string::npos &&
                 boxes[0].text.find("not for this product") == std::string::npos,
             "a file too short for its descriptor or body was refused as: " + boxes[0].text);
    } else {
      Expect(boxes[0].text == *broken, "refused with \"" + boxes[0].text +
                                           "\" where the first rule broken says \"" + *broken +
                                           "\"");
    }
  }

  uint32_t sum = 0;
  for (const uint8_t b : file) sum += b;
  Expect(panels.Last(0) == "Chksum:" + HexText(sum, 8), "panel 0 shows " + panels.Last(0));
  const auto texts = panels.TextsOf(StatusPanels::kMessagePanel);
  Expect(!texts.empty() && texts[0] == "File:" + path.string(), "panel 4 must name the file");
  // The versions are shown once the file has passed the checks of its own.
  const bool versionsShown = !broken || broken->find("not for this product") != std::string::npos;
  if (versionsShown) {
    const auto fileVersion = static_cast<uint32_t>(ref::BigEndian({file.data() + 156, 4}));
    Expect(panels.Last(2) == "F:" + HexText(deviceVersion, 1) &&
               panels.Last(3) == "C:" + HexText(fileVersion, 1),
           "panels 2 and 3 show " + panels.Last(2) + " and " + panels.Last(3));
  }
  return 0;
}
