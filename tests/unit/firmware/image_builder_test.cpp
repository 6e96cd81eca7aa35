#include "firmware/image_builder.h"

#include <gtest/gtest.h>

#include <functional>
#include <numeric>

#include "firmware/image_files.h"
#include "firmware/sub_code_table.h"
#include "firmware_rig.h"

namespace px {

void PrintTo(const ImageRefusal& refusal, std::ostream* out) {
  *out << refusal.title << ": " << refusal.text;
}

namespace {

constexpr uint32_t kC = 0x78000;

// A head file that puts the configuration block at c.
std::vector<uint8_t> HeadBytes(uint32_t c, std::size_t size = 0x1000) {
  auto head = test::Pattern(size, 1);
  head[16] = static_cast<uint8_t>(c);
  head[17] = static_cast<uint8_t>(c >> 8);
  head[18] = static_cast<uint8_t>(c >> 16);
  return head;
}

ImageFile File(std::string name, std::vector<uint8_t> bytes) {
  return {std::move(name), std::move(bytes), std::nullopt};
}

SubCode Sub(std::string name, std::vector<uint8_t> bytes, uint8_t type, bool update = true) {
  return {File(std::move(name), std::move(bytes)), type, update};
}

std::vector<uint8_t> Bytes(const std::vector<uint8_t>& v, std::size_t at, std::size_t n) {
  return {v.begin() + static_cast<std::ptrdiff_t>(at),
          v.begin() + static_cast<std::ptrdiff_t>(at + n)};
}

std::vector<uint8_t> Filled(std::size_t n, uint8_t byte) {
  return std::vector<uint8_t>(n, byte);
}

struct LayoutCase {
  const char* name;
  // Changes a head file alone, its block at kC, with the settings as the
  // window starts.
  std::function<void(ImageParts&, ImageSettings&)> arrange;
  std::optional<ImageRefusal> refusal = std::nullopt;
  std::optional<uint32_t> c = kC;  // where the build says the block lies
  uint32_t size = 0;               // of a built image
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> bytes = {};  // image offset, content
};

ImageRefusal ErrorBox(std::string text) {
  return {"Error", std::move(text)};
}

TEST(ImageBuilder, LayoutRules) {
  const auto head = HeadBytes(kC);
  const auto a0 = test::Pattern(0xC000, 2);
  const auto s31 = test::Pattern(100, 3);
  const auto headAt = [](uint32_t c) {
    return [c](ImageParts& p, ImageSettings&) { p.head = File("SPIHEAD.BIN", HeadBytes(c)); };
  };
  const auto sized = [](uint32_t c, BinSize size) {
    return [c, size](ImageParts& p, ImageSettings& s) {
      p.head = File("SPIHEAD.BIN", HeadBytes(c));
      p.subCodes = {Sub("SUB-A0.BIN", {1}, 0xA0)};  // its slot ends at 0x18000
      s.autoSize = false;
      s.binSize = size;
    };
  };
  const ImageRefusal unreadable{"GetASPISupportInfo:",
                                "Error read from Source file. ByteCount = 7"};
  const ImageRefusal unopened = ErrorBox("Fail to open firmware file");

  const LayoutCase cases[] = {
      {.name = "head file alone, the settings as they start",
       .arrange = [](ImageParts&, ImageSettings&) {},
       .size = 0x80000,
       .bytes = {{0, head},
                 {0x1000, Filled(0x7000, 0xFF)},  // not set by the builder: erased flash
                 {kC, {0x00, 0xA0}},
                 {kC + 52, {0x00, 0xC0, 0x00, 0x3F, 0xF1, 0xFF}},
                 {kC + 107, {0x80, 0x11, 0xD0, 0x07, 0x32, 0x00, 0x00}},
                 {kC + 114, {'M', 'O', 'R', 'L', 'I', 'N', 0, 0, 0, 0, 0, 0, 0, 0}}}},
      {.name = "sub-codes in their slots, listed in the block",
       .arrange =
           [&](ImageParts& p, ImageSettings&) {
             p.subCodes = {Sub("SUB-A0.BIN", a0, 0xA0), Sub("SUB-31.BIN", s31, 0x31, false)};
           },
       .size = 0x80000,
       .bytes = {{0xC000, a0},
                 {0x18000, s31},
                 {kC + 2, {0xA0, 0x00, 0xC0, 0x00, 0x5A, 0x31, 0x00, 0x80, 0x01, 0x00}},
                 {kC + 52, {0x00, 0x40, 0x02}},
                 {kC + 113, {0x03}}}},
      {.name = "boxes unchecked, other numbers",
       .arrange =
           [](ImageParts&, ImageSettings& s) {
             s.raidModeByJumper = false;
             s.zl7314bChip = false;
             s.fanSupported = "2";
             s.thermalSupported = "13";  // only its low four bits fit above the fan's
             s.fanAlarmLimit = "1F4h";
             s.thermalAlarmLimit = "-1";
           },
       .size = 0x80000,
       .bytes = {{kC + 55, {0x3F, 0x11, 0x3F}}, {kC + 107, {0x85, 0xD2, 0xF4, 0x01, 0xFF}}}},
      {.name = "function bits: the backups and the low half of each code type",
       .arrange =
           [](ImageParts& p, ImageSettings& s) {
             s.scheduleBackup = true;
             p.subCodes = {Sub("X-12.BIN", {1}, 0x12), Sub("X-F3.BIN", {1}, 0xF3),
                           Sub("X-04.BIN", {1}, 0x04), Sub("X-A2.BIN", {1}, 0xA2)};
           },
       .size = 0x80000,
       .bytes = {{kC + 113, {0x80 | 0x04 | 0x08}}}},
      {.name = "fast backup",
       .arrange = [](ImageParts&, ImageSettings& s) { s.fastBackup = true; },
       .size = 0x80000,
       .bytes = {{kC + 113, {0x40}}}},
      {.name = "1M Bits",
       .arrange = sized(0x18000, BinSize::OneMBits),
       .c = 0x18000,
       .size = 0x20000,
       .bytes = {{0x18001, {0xA0}}}},
      {.name = "2M Bits",
       .arrange = sized(0x38000, BinSize::TwoMBits),
       .c = 0x38000,
       .size = 0x40000,
       .bytes = {{0x38001, {0xA0}}}},
      {.name = "4M Bits", .arrange = sized(kC, BinSize::FourMBits), .size = 0x80000},
      {.name = "8M Bits, past the block's area left erased",
       .arrange = sized(kC, BinSize::EightMBits),
       .size = 0x100000,
       .bytes = {{0x80000, Filled(0x80000, 0xFF)}}},

      {.name = "an eleventh sub-code",
       .arrange =
           [](ImageParts& p, ImageSettings&) {
             for (int i = 10; i <= 20; ++i) {
               p.subCodes.push_back(Sub("SUB-" + std::to_string(i) + ".BIN", {1}, 0x10));
             }
           },
       .refusal = ErrorBox("No room for SUB-20.BIN: an image holds at most 10 sub-codes."),
       .c = std::nullopt},
      {.name = "a setting that is no number, told before a missing head file",
       .arrange =
           [](ImageParts& p, ImageSettings& s) {
             p.head.reset();
             s.fanAlarmLimit = "20OO";
           },
       .refusal = ErrorBox("'20OO' is not a valid integer value"),
       .c = std::nullopt},
      {.name = "no head file",
       .arrange = [](ImageParts& p, ImageSettings&) { p.head.reset(); },
       .refusal = ErrorBox("There is no head file: add SPIHEAD.BIN first."),
       .c = std::nullopt},
      {.name = "a head file that could not be read, told before the layout",
       .arrange =
           [&](ImageParts& p, ImageSettings& s) {
             p.head->unreadable = unreadable;
             s.autoSize = false;
           },
       .refusal = unreadable,
       .c = std::nullopt},
      {.name = "head file over 48 KiB",
       .arrange = [](ImageParts& p,
                     ImageSettings&) { p.head = File("spihead.bin", HeadBytes(kC, 0xC001)); },
       .refusal = ErrorBox("spihead.bin has 49153 bytes; a file of the image must fit in its 48 "
                           "KiB (49152 bytes)."),
       .c = std::nullopt},
      {.name = "head file too short to place the block",
       .arrange =
           [](ImageParts& p, ImageSettings&) {
             p.head->bytes = {1, 2, 3};
           },
       .refusal = ErrorBox("SPIHEAD.BIN is too short to say where the configuration block lies."),
       .c = std::nullopt},
      {.name = "head file running into the block",
       .arrange = [](ImageParts& p,
                     ImageSettings&) { p.head = File("SPIHEAD.BIN", HeadBytes(0x800, 0x801)); },
       .refusal = ErrorBox("SPIHEAD.BIN runs into its own configuration block at 800h."),
       .c = 0x800},
      {.name = "no size chosen",
       .arrange = [](ImageParts&, ImageSettings& s) { s.autoSize = false; },
       .refusal = ErrorBox("Choose a bin size, or check \"Bin Size Auto-detected\".")},
      {.name = "a size below the block's area",
       .arrange =
           [](ImageParts&, ImageSettings& s) {
             s.autoSize = false;
             s.binSize = BinSize::TwoMBits;
           },
       .refusal = ErrorBox(
           "The bin size 40000h is too small: the configuration block at 78000h needs 80000h.")},
      {.name = "a slot reaching the block, told before an unreadable sub-code",
       .arrange =
           [&](ImageParts& p, ImageSettings& s) {
             headAt(0x23FFF)(p, s);  // one byte short of the second slot's end
             p.subCodes = {Sub("SUB-A0.BIN", {1}, 0xA0), Sub("SUB-A1.BIN", {1}, 0xA1)};
             p.subCodes[0].file.unreadable = unopened;
           },
       .refusal = ErrorBox(
           "The slot of SubCode-1 ends at 24000h, past the configuration block at 23FFFh."),
       .c = 0x23FFF},
      {.name = "a sub-code over 48 KiB, told before a later unreadable one",
       .arrange =
           [](ImageParts& p, ImageSettings&) {
             p.subCodes = {Sub("SUB-A0.BIN", test::Pattern(0xC001), 0xA0),
                           Sub("SUB-A1.BIN", {1}, 0xA1)};
             p.subCodes[1].file.unreadable = ImageRefusal{"Error", "Fail to open firmware file"};
           },
       .refusal = ErrorBox("SUB-A0.BIN has 49153 bytes; a file of the image must fit in its 48 KiB "
                           "(49152 bytes).")},
      {.name = "a sub-code that could not be read",
       .arrange =
           [&](ImageParts& p, ImageSettings&) {
             p.subCodes = {Sub("SUB-A0.BIN", {}, 0xA0)};
             p.subCodes[0].file.unreadable = unopened;
           },
       .refusal = unopened},
  };

  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    ImageParts parts{File("SPIHEAD.BIN", head), {}};
    ImageSettings settings;
    c.arrange(parts, settings);
    std::mt19937 fill(1234);
    const ImageBuild build = BuildImage(parts, settings, fill);
    EXPECT_EQ(build.refusal, c.refusal);
    EXPECT_EQ(build.configOffset, c.c);
    if (c.refusal) {
      EXPECT_TRUE(build.image.empty());
      EXPECT_EQ(fill, std::mt19937(1234)) << "a refused build draws nothing from the fill";
      continue;
    }
    const std::vector<uint8_t>& image = build.image;
    ASSERT_EQ(image.size(), c.size);
    for (const auto& [at, bytes] : c.bytes) {
      EXPECT_EQ(Bytes(image, at, bytes.size()), bytes) << "at " << std::hex << at;
    }
    // What every image holds.
    const uint32_t block = *c.c;
    EXPECT_EQ(Bytes(image, block + 256, 0x7F00), Filled(0x7F00, 0xFF));
    EXPECT_EQ(Bytes(image, block + 58, 49), Filled(49, 0x00));
    const unsigned sum = std::accumulate(image.begin() + block, image.begin() + block + 254, 0U);
    EXPECT_EQ(Bytes(image, block + 254, 2),
              (std::vector<uint8_t>{static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8)}));
    // The fill is what the seed changes: the block's tail and the records
    // without a sub-code, whose code type reads FFh.
    std::mt19937 otherFill(1235);
    const std::vector<uint8_t> other = BuildImage(parts, settings, otherFill).image;
    EXPECT_NE(Bytes(image, block + 128, 126), Bytes(other, block + 128, 126));
    for (std::size_t i = parts.subCodes.size(); i < 10; ++i) {
      const std::size_t record = block + 2 + 5 * i;
      EXPECT_EQ(image[record], 0xFF) << "record " << i;
      EXPECT_NE(Bytes(image, record + 1, 4), Bytes(other, record + 1, 4)) << "record " << i;
    }
    std::mt19937 sameFill(1234);
    EXPECT_EQ(BuildImage(parts, settings, sameFill).image, image);
  }
}

// Reading the table's files for a build, and saving what was built.
TEST(ImageFiles, ReadTheTablesFilesAndSaveAsBin) {
  test::TempDir dir;
  SubCodeTable table;
  const auto a0 = test::Pattern(300, 2);
  ASSERT_FALSE(table.AddFile(dir.Write("SUB-A0.BIN", a0)));
  ASSERT_FALSE(table.AddFile(dir.path() / "SUB-31.BIN"));  // not there
  table.SetUpdateFlag(3, false);
  ImageParts parts = ReadImageParts(table);
  EXPECT_FALSE(parts.head) << "no head file was chosen";
  ASSERT_EQ(parts.subCodes.size(), 2u);
  EXPECT_EQ(parts.subCodes[0].file.name, "SUB-A0.BIN");
  EXPECT_EQ(parts.subCodes[0].file.bytes, a0);
  EXPECT_FALSE(parts.subCodes[0].file.unreadable);
  EXPECT_EQ(parts.subCodes[1].codeType, 0x31);
  EXPECT_FALSE(parts.subCodes[1].update);
  EXPECT_EQ(parts.subCodes[1].file.unreadable, ErrorBox("Fail to open firmware file"));

  struct Case {
    std::string chosen;
    std::string saved;
  } cases[] = {{"image.img", "image.bin"},
               {"image", "image.bin"},
               {"a.b.c", "a.b.bin"},
               {"image.BIN", "image.bin"}};
  for (const auto& c : cases) {
    test::RecordingPanels panels;
    test::RecordingMessages messages;
    const auto target = dir.path() / c.saved;
    ASSERT_TRUE(SaveImageFile(dir.path() / c.chosen, a0, panels, messages)) << c.chosen;
    EXPECT_EQ(test::ReadBack(target), a0) << c.chosen;
    EXPECT_EQ(panels.entries(), (std::vector<test::RecordingPanels::Entry>{
                                    {3, test::PathString(target)},
                                    {2, "300"},
                                    {3, "Svae File OK :" + test::PathString(target)}}));
    EXPECT_TRUE(messages.boxes().empty());
  }
  test::RecordingPanels panels;
  test::RecordingMessages messages;
  EXPECT_FALSE(SaveImageFile(dir.path() / "missing" / "image.img", a0, panels, messages));
  EXPECT_EQ(messages.boxes(), (std::vector<test::RecordingMessages::Box>{
                                  {"Error", "Fail to create file", MessageIcon::Error}}));
}

}  // namespace
}  // namespace px
