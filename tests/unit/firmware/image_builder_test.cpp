#include "firmware/image_builder.h"

#include <gtest/gtest.h>

#include "common/number_text.h"
#include "firmware_rig.h"

namespace px {
namespace {

using Box = test::RecordingMessages::Box;

constexpr uint32_t kC = 0x78000;

// A head file that puts the configuration block at c.
std::vector<uint8_t> HeadFile(uint32_t c, std::size_t size = 0x1000) {
  auto head = test::Pattern(size, 1);
  head[16] = static_cast<uint8_t>(c);
  head[17] = static_cast<uint8_t>(c >> 8);
  head[18] = static_cast<uint8_t>(c >> 16);
  return head;
}

struct BuilderRig {
  test::TempDir dir;
  test::RecordingPanels panels;
  test::RecordingMessages messages;
  FirmwareState state;
  ImageBuilder builder{panels, messages, state, 1234};

  std::filesystem::path Add(const std::string& name, const std::vector<uint8_t>& bytes) {
    const auto path = dir.Write(name, bytes);
    EXPECT_TRUE(builder.AddSubCodeFile(path)) << name;
    return path;
  }
  std::vector<uint8_t> Block() const {
    const auto& image = state.FirmwareImage;
    return {image.begin() + kC, image.begin() + kC + 256};
  }
};

std::vector<uint8_t> Bytes(const std::vector<uint8_t>& v, std::size_t at, std::size_t n) {
  return {v.begin() + static_cast<std::ptrdiff_t>(at),
          v.begin() + static_cast<std::ptrdiff_t>(at + n)};
}

TEST(ImageBuilder, HeadFileAloneWithAutoDetectedSize) {
  BuilderRig rig;
  const auto head = HeadFile(kC);
  rig.Add("spihead.bin", head);
  ASSERT_TRUE(rig.builder.BuildImage());
  const auto& image = rig.state.FirmwareImage;
  ASSERT_EQ(image.size(), 0x80000u);
  EXPECT_EQ(Bytes(image, 0, head.size()), head);
  EXPECT_EQ(Bytes(image, head.size(), 0x8000 - head.size()),
            std::vector<uint8_t>(0x8000 - head.size(), 0xFF))
      << "bytes the builder does not set read as erased flash";
  EXPECT_EQ(Bytes(image, 0x78100, 0x7F00), std::vector<uint8_t>(0x7F00, 0xFF));
  const auto block = rig.Block();
  EXPECT_EQ(Bytes(block, 0, 2), (std::vector<uint8_t>{0x00, 0xA0}));
  for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(block[2 + 5 * i], 0xFF) << "record " << i;
  EXPECT_EQ(Bytes(block, 52, 4), (std::vector<uint8_t>{0x00, 0xC0, 0x00, 0x3F}));
  EXPECT_EQ(rig.panels.Last(1), "491520");
  EXPECT_EQ(rig.panels.Last(0), "524288");
}

TEST(ImageBuilder, SubCodesFillTheirSlotsAndRecords) {
  BuilderRig rig;
  rig.Add("SPIHEAD.BIN", HeadFile(kC));
  const auto a0 = test::Pattern(0xC000, 2);
  const auto s31 = test::Pattern(100, 3);
  rig.Add("SUB-A0.BIN", a0);
  rig.Add("sub-31.bin", s31);
  rig.builder.SetUpdateFlag(3, 0);
  ASSERT_TRUE(rig.builder.BuildImage());
  const auto& image = rig.state.FirmwareImage;
  EXPECT_EQ(Bytes(image, 0xC000, a0.size()), a0);
  EXPECT_EQ(Bytes(image, 0x18000, s31.size()), s31);
  const auto block = rig.Block();
  EXPECT_EQ(Bytes(block, 2, 10), (std::vector<uint8_t>{0xA0, 0x00, 0xC0, 0x00, 0x5A,  //
                                                       0x31, 0x00, 0x80, 0x01, 0x00}));
  EXPECT_EQ(block[12], 0xFF);
  EXPECT_EQ(Bytes(block, 52, 3), (std::vector<uint8_t>{0x00, 0x40, 0x02}));
  EXPECT_EQ(block[113], 0x03);
}

TEST(ImageBuilder, ConfigurationBlockFieldByField) {
  struct Case {
    const char* name;
    std::function<void(BuilderSettings&)> change;
    std::vector<std::pair<std::size_t, std::vector<uint8_t>>> fields;
  } cases[] = {
      {"defaults",
       [](BuilderSettings&) {},
       {{55, {0x3F, 0xF1, 0xFF}},
        {107, {0x80, 0x11, 0xD0, 0x07, 0x32, 0x00, 0x00}},
        {114, {'M', 'O', 'R', 'L', 'I', 'N', 0, 0, 0, 0, 0, 0, 0, 0}}}},
      {"boxes unchecked, other numbers",
       [](BuilderSettings& s) {
         s.raidModeByJumper = false;
         s.zl7314bChip = false;
         s.fanSupported = "2";
         s.thermalSupported = "13";  // only its low four bits fit above the fan's
         s.fanAlarmLimit = "1F4h";
         s.thermalAlarmLimit = "-1";
       },
       {{55, {0x3F, 0x11, 0x3F}}, {107, {0x85, 0xD2, 0xF4, 0x01, 0xFF}}}},
      {"backup functions",
       [](BuilderSettings& s) {
         s.scheduleBackup = true;
         s.fastBackup = true;
       },
       {{113, {0xC0}}}},
  };
  for (const auto& c : cases) {
    BuilderRig rig;
    rig.Add("SPIHEAD.BIN", HeadFile(kC));
    c.change(rig.builder.settings());
    ASSERT_TRUE(rig.builder.BuildImage()) << c.name;
    const auto block = rig.Block();
    for (const auto& [at, bytes] : c.fields) {
      EXPECT_EQ(Bytes(block, at, bytes.size()), bytes) << c.name << " at " << at;
    }
    EXPECT_EQ(Bytes(block, 58, 49), std::vector<uint8_t>(49, 0x00)) << c.name;
    unsigned sum = 0;
    for (std::size_t i = 0; i < 254; ++i) sum += block[i];
    EXPECT_EQ(block[254], sum & 0xFF) << c.name;
    EXPECT_EQ(block[255], (sum >> 8) & 0xFF) << c.name;
  }
}

TEST(ImageBuilder, FunctionBitsComeFromTheLowHalfOfEachCodeType) {
  BuilderRig rig;
  rig.Add("SPIHEAD.BIN", HeadFile(kC));
  for (const char* name : {"X-12.BIN", "X-F3.BIN", "X-04.BIN", "X-A2.BIN"}) rig.Add(name, {1});
  rig.builder.settings().fastBackup = true;
  ASSERT_TRUE(rig.builder.BuildImage());
  EXPECT_EQ(rig.Block()[113], 0x40 | 0x04 | 0x08);
}

TEST(ImageBuilder, FillComesFromTheSeededGenerator) {
  auto build = [](uint32_t seed) {
    test::TempDir dir;
    test::RecordingPanels panels;
    test::RecordingMessages messages;
    FirmwareState state;
    ImageBuilder builder(panels, messages, state, seed);
    builder.AddSubCodeFile(dir.Write("SPIHEAD.BIN", HeadFile(kC)));
    builder.BuildImage();
    return state.FirmwareImage;
  };
  const auto a = build(7);
  ASSERT_EQ(a.size(), 0x80000u);
  EXPECT_EQ(build(7), a);
  const auto b = build(8);
  EXPECT_NE(Bytes(a, 0x8000, 64), Bytes(b, 0x8000, 64));
  EXPECT_NE(Bytes(a, kC + 128, 126), Bytes(b, kC + 128, 126));
  EXPECT_NE(Bytes(a, kC + 3, 4), Bytes(b, kC + 3, 4)) << "an unused record keeps the fill";
  EXPECT_EQ(Bytes(a, 0x80000 - 0x7F00, 0x7F00), Bytes(b, 0x80000 - 0x7F00, 0x7F00));
}

TEST(ImageBuilder, CodeTypeFromTheFileName) {
  struct Case {
    const char* name;
    uint8_t type;
  } cases[] = {
      {"SUB-A0.BIN", 0xA0}, {"sub-a0.bin", 0xA0}, {"S-3G.BIN", 0x00},
      {"SG3.BIN", 0x03},    {"AB.C.D", 0xAB},     {"7F", 0x00},  // no "." keeps the entry's type
  };
  for (const auto& c : cases) {
    BuilderRig rig;
    rig.Add(c.name, {1});
    EXPECT_EQ(rig.builder.Entry(1).codeType, c.type) << c.name;
    EXPECT_EQ(rig.builder.Entry(1).updateFlag, 1) << c.name;
  }
  BuilderRig rig;
  rig.Add("SUB-55.BIN", {1});
  rig.builder.KeyDelete(2);
  rig.Add("NODOT", {1});
  EXPECT_EQ(rig.builder.Entry(1).codeType, 0x55) << "no \".\": the entry keeps what it held";
}

TEST(ImageBuilder, GridShowsTitlesRowsAndEntries) {
  BuilderRig rig;
  rig.Add("SPIHEAD.BIN", {1});
  rig.Add("SUB-A0.BIN", {1});
  rig.Add("SUB-31.BIN", {1});
  rig.builder.SetUpdateFlag(3, 0);
  const std::vector<std::vector<std::string>> expected = {
      {"", "Subcode file", "Code Type", "Update Flag"},
      {"Boot Loader", "SPIHEAD.BIN", "", ""},
      {"SubCode-0", "SUB-A0.BIN", "A0h", "TRUE"},
      {"SubCode-1", "SUB-31.BIN", "31h", "FALSE"},
      {"SubCode-2", "", "", ""},
  };
  for (int row = 0; row < 12; ++row) {
    for (int column = 0; column < 4; ++column) {
      const std::string want =
          row < 5 ? expected[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)]
                  : (column == 0 ? "SubCode-" + std::to_string(row - 2) : "");
      EXPECT_EQ(rig.builder.CellText(column, row), want) << column << "," << row;
    }
  }
  EXPECT_EQ(rig.builder.EditorFor(2, 2), CellEditor::CodeType);
  EXPECT_EQ(rig.builder.EditorFor(3, 3), CellEditor::UpdateFlag);
  for (const auto& [column, row] :
       std::vector<std::pair<int, int>>{{1, 2}, {2, 1}, {3, 1}, {2, 4}, {0, 2}}) {
    EXPECT_EQ(rig.builder.EditorFor(column, row), CellEditor::None) << column << "," << row;
  }
}

TEST(ImageBuilder, CodeTypeEditorParsesNumbers) {
  struct Case {
    const char* text;
    std::optional<uint8_t> type;  // none: refused, the type stays
  } cases[] = {{"160", 0xA0},      {"a0h", 0xA0},  {"A0H", 0xA0}, {"A0", std::nullopt},
               {"", std::nullopt}, {"1FFh", 0xFF}, {"-1", 0xFF}};
  for (const auto& c : cases) {
    BuilderRig rig;
    rig.Add("SUB-12.BIN", {1});
    if (c.type) {
      rig.builder.SetCodeTypeText(2, c.text);
      EXPECT_EQ(rig.builder.Entry(1).codeType, *c.type) << c.text;
    } else {
      EXPECT_THROW(rig.builder.SetCodeTypeText(2, c.text), ConversionError) << c.text;
      EXPECT_EQ(rig.builder.Entry(1).codeType, 0x12) << c.text;
    }
  }
}

TEST(ImageBuilder, KeysMoveAndDeleteSubCodesButNeverTheHeadFile) {
  struct Case {
    const char* name;
    std::function<int(ImageBuilder&)> press;
    int selected;
    std::vector<std::string> files;  // rows 1 to 4
  } cases[] = {
      {"delete the middle sub-code",
       [](ImageBuilder& b) {
         b.KeyDelete(3);
         return 3;
       },
       3,
       {"SPIHEAD.BIN", "S-01.BIN", "S-03.BIN", ""}},
      {"delete the last sub-code",
       [](ImageBuilder& b) {
         b.KeyDelete(4);
         return 4;
       },
       4,
       {"SPIHEAD.BIN", "S-01.BIN", "S-02.BIN", ""}},
      {"delete on Boot Loader does nothing",
       [](ImageBuilder& b) {
         b.KeyDelete(1);
         return 1;
       },
       1,
       {"SPIHEAD.BIN", "S-01.BIN", "S-02.BIN", "S-03.BIN"}},
      {"delete below the last row does nothing",
       [](ImageBuilder& b) {
         b.KeyDelete(5);
         return 5;
       },
       5,
       {"SPIHEAD.BIN", "S-01.BIN", "S-02.BIN", "S-03.BIN"}},
      {"+ moves up",
       [](ImageBuilder& b) { return b.KeyPlus(4); },
       3,
       {"SPIHEAD.BIN", "S-01.BIN", "S-03.BIN", "S-02.BIN"}},
      {"+ on the first sub-code stays below Boot Loader",
       [](ImageBuilder& b) { return b.KeyPlus(2); },
       2,
       {"SPIHEAD.BIN", "S-01.BIN", "S-02.BIN", "S-03.BIN"}},
      {"- moves down",
       [](ImageBuilder& b) { return b.KeyMinus(2); },
       3,
       {"SPIHEAD.BIN", "S-02.BIN", "S-01.BIN", "S-03.BIN"}},
      {"- on the last sub-code does nothing",
       [](ImageBuilder& b) { return b.KeyMinus(4); },
       4,
       {"SPIHEAD.BIN", "S-01.BIN", "S-02.BIN", "S-03.BIN"}},
      {"- on Boot Loader does nothing",
       [](ImageBuilder& b) { return b.KeyMinus(1); },
       1,
       {"SPIHEAD.BIN", "S-01.BIN", "S-02.BIN", "S-03.BIN"}},
  };
  for (const auto& c : cases) {
    BuilderRig rig;
    for (const char* name : {"SPIHEAD.BIN", "S-01.BIN", "S-02.BIN", "S-03.BIN"}) rig.Add(name, {1});
    EXPECT_EQ(c.press(rig.builder), c.selected) << c.name;
    std::vector<std::string> files;
    for (int row = 1; row <= 4; ++row) files.push_back(rig.builder.CellText(1, row));
    EXPECT_EQ(files, c.files) << c.name;
    // The code type travels with its file.
    for (int row = 2; row <= 4; ++row) {
      const std::string file = rig.builder.CellText(1, row);
      if (!file.empty()) {
        EXPECT_EQ(rig.builder.CellText(2, row), "0" + file.substr(3, 1) + "h") << c.name;
      }
    }
  }
}

TEST(ImageBuilder, SelectingACellShowsRowAndValueInThePanels) {
  BuilderRig rig;
  const auto path = rig.Add("SUB-31.BIN", {1});
  rig.builder.SetUpdateFlag(2, 0);
  struct Case {
    int column;
    int row;
    std::vector<test::RecordingPanels::Entry> entries;
  } cases[] = {
      {1, 2, {{2, "1"}, {3, test::PathString(path)}}},
      {2, 2, {{2, "1"}, {3, "31"}}},
      {3, 2, {{2, "1"}, {3, "0"}}},
      {2, 3, {{2, "2"}}},
  };
  for (const auto& c : cases) {
    rig.panels.Clear();
    rig.builder.SelectCell(c.column, c.row);
    EXPECT_EQ(rig.panels.entries(), c.entries) << c.column << "," << c.row;
  }
}

TEST(ImageBuilder, HeadFileAddedTwiceReplacesEntryZero) {
  BuilderRig rig;
  test::TempDir other;
  rig.Add("SPIHEAD.BIN", HeadFile(kC));
  rig.Add("SUB-A0.BIN", {1});
  const auto second = other.Write("SpiHead.Bin", HeadFile(kC));
  ASSERT_TRUE(rig.builder.AddSubCodeFile(second));
  EXPECT_EQ(rig.builder.Entry(0).path, second);
  EXPECT_EQ(rig.builder.SubCodeCount(), 1);
}

TEST(ImageBuilder, SaveReplacesTheExtensionWithBin) {
  struct Case {
    std::string chosen;
    std::string saved;
  } cases[] = {{"image.img", "image.bin"},
               {"image", "image.bin"},
               {"a.b.c", "a.b.bin"},
               {"image.BIN", "image.bin"}};
  for (const auto& c : cases) {
    BuilderRig rig;
    rig.state.ReplaceImage(test::Pattern(3000));
    const auto target = rig.dir.path() / c.saved;
    ASSERT_TRUE(rig.builder.SaveImageFile(rig.dir.path() / c.chosen)) << c.chosen;
    EXPECT_EQ(test::ReadBack(target), test::Pattern(3000)) << c.chosen;
    EXPECT_EQ(rig.panels.TextsOf(3),
              (std::vector<std::string>{test::PathString(target),
                                        "Svae File OK :" + test::PathString(target)}));
    EXPECT_EQ(rig.panels.Last(2), "3000");
  }
  BuilderRig rig;
  EXPECT_FALSE(rig.builder.SaveImageFile(rig.dir.path() / "missing" / "image.img"));
  EXPECT_EQ(rig.messages.boxes(),
            (std::vector<Box>{{"Error", "Fail to create file", MessageIcon::Error}}));
}

TEST(ImageBuilder, SaveBinBuildsThenSavesTheBuiltImage) {
  BuilderRig rig;
  rig.Add("SPIHEAD.BIN", HeadFile(kC));
  rig.builder.SaveBinClick([&] { return std::optional(rig.dir.path() / "out.img"); });
  ASSERT_EQ(rig.state.FirmwareLength(), 0x80000u);
  EXPECT_EQ(test::ReadBack(rig.dir.path() / "out.bin"), rig.state.FirmwareImage);
}

TEST(ImageBuilder, RefusedBuildsSaveNothingAndKeepThePreviousImage) {
  struct Case {
    const char* name;
    std::function<void(BuilderRig&)> arrange;
    std::string box;  // the start of the "Error" box's text
  } cases[] = {
      {"no head file", [](BuilderRig&) {}, "There is no head file"},
      {"head file gone from disk",
       [](BuilderRig& r) { r.builder.AddSubCodeFile(r.dir.path() / "SPIHEAD.BIN"); },
       "Fail to open firmware file"},
      {"head file over 48 KiB", [](BuilderRig& r) { r.Add("SPIHEAD.BIN", HeadFile(kC, 0xC001)); },
       "SPIHEAD.BIN has 49153 bytes"},
      {"head file too short for C",
       [](BuilderRig& r) {
         r.Add("SPIHEAD.BIN", {1, 2, 3});
       },
       "SPIHEAD.BIN is too short"},
      {"head file runs into the block",
       [](BuilderRig& r) { r.Add("SPIHEAD.BIN", HeadFile(0x800, 0x801)); },
       "SPIHEAD.BIN runs into"},
      {"sub-code over 48 KiB",
       [](BuilderRig& r) {
         r.Add("SPIHEAD.BIN", HeadFile(kC));
         r.Add("SUB-A0.BIN", test::Pattern(0xC001));
       },
       "SUB-A0.BIN has 49153 bytes"},
      {"sub-code slot reaches C",
       [](BuilderRig& r) {
         r.Add("SPIHEAD.BIN", HeadFile(0x23FFF));  // one byte short of the slot's end
         r.Add("SUB-A0.BIN", {1});
         r.Add("SUB-A1.BIN", {1});
       },
       "The slot of SubCode-1 ends at 24000h"},
      {"no size chosen",
       [](BuilderRig& r) {
         r.Add("SPIHEAD.BIN", HeadFile(kC));
         r.builder.settings().autoSize = false;
       },
       "Choose a bin size"},
      {"size below C + 0x8000",
       [](BuilderRig& r) {
         r.Add("SPIHEAD.BIN", HeadFile(kC));
         r.builder.settings().autoSize = false;
         r.builder.settings().binSize = BinSize::TwoMBits;
       },
       "The bin size 40000h is too small"},
      {"setting that does not parse",
       [](BuilderRig& r) {
         r.Add("SPIHEAD.BIN", HeadFile(kC));
         r.builder.settings().fanAlarmLimit = "20OO";
       },
       "'20OO' is not a valid integer value"},
  };
  for (const auto& c : cases) {
    BuilderRig rig;
    c.arrange(rig);
    rig.state.ReplaceImage({1, 2, 3});
    rig.builder.SaveBinClick([&] {
      ADD_FAILURE() << c.name << ": no save dialog after a refused build";
      return std::optional(rig.dir.path() / "out.bin");
    });
    EXPECT_EQ(rig.state.FirmwareImage, (std::vector<uint8_t>{1, 2, 3})) << c.name;
    const auto boxes = rig.messages.boxes();
    ASSERT_EQ(boxes.size(), 1u) << c.name;
    EXPECT_EQ(boxes[0].title, "Error") << c.name;
    EXPECT_EQ(boxes[0].icon, MessageIcon::Error) << c.name;
    EXPECT_EQ(boxes[0].text.rfind(c.box, 0), 0u) << c.name << ": " << boxes[0].text;
  }
}

TEST(ImageBuilder, SizesThatFitAreAccepted) {
  struct Case {
    BinSize size;
    uint32_t c;
    uint32_t bytes;
  } cases[] = {{BinSize::OneMBits, 0x18000, 0x20000},
               {BinSize::TwoMBits, 0x38000, 0x40000},
               {BinSize::FourMBits, kC, 0x80000},
               {BinSize::EightMBits, kC, 0x100000}};
  for (const auto& c : cases) {
    BuilderRig rig;
    rig.Add("SPIHEAD.BIN", HeadFile(c.c));
    rig.Add("SUB-A0.BIN", {1});  // its slot ends at 0x18000, just below the smallest C
    rig.builder.settings().autoSize = false;
    rig.builder.settings().binSize = c.size;
    ASSERT_TRUE(rig.builder.BuildImage()) << c.bytes;
    EXPECT_EQ(rig.state.FirmwareLength(), c.bytes);
    EXPECT_EQ(rig.state.FirmwareImage[c.c + 1], 0xA0);
    EXPECT_EQ(rig.state.FirmwareImage.back(), 0xFF);
  }
}

TEST(ImageBuilder, AddingRefusesAnEleventhSubCodeAndNamesWithoutATypeBeforeTheDot) {
  BuilderRig rig;
  for (int i = 0; i < 10; ++i) rig.Add("SUB-" + std::to_string(10 + i) + ".BIN", {1});
  const auto eleventh = rig.dir.Write("SUB-99.BIN", {1});
  EXPECT_FALSE(rig.builder.AddSubCodeFile(eleventh));
  EXPECT_EQ(rig.builder.SubCodeCount(), 10);
  EXPECT_EQ(rig.builder.CellText(1, 11), "SUB-19.BIN");

  for (const char* name : {"A.BIN", ".BIN"}) {
    BuilderRig one;
    EXPECT_FALSE(one.builder.AddSubCodeFile(one.dir.Write(name, {1}))) << name;
    EXPECT_EQ(one.builder.SubCodeCount(), 0) << name;
    ASSERT_EQ(one.messages.boxes().size(), 1u) << name;
    EXPECT_EQ(one.messages.boxes()[0].title, "Error") << name;
  }
  ASSERT_EQ(rig.messages.boxes().size(), 1u);
}

}  // namespace
}  // namespace px
