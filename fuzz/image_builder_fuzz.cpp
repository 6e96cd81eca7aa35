// "Make Bin": the grid of files edited as the user edits it, then the image
// built from it. The grid shows the table as its rules say (the head file
// stays in its row; at most ten sub-codes; a code type from the name, or a
// typed number); a build is refused exactly when a limit of the layout is
// broken, and otherwise every byte of the image is where the layout puts
// it: the head at 0, sub-code k in slot 0xC000 k, the configuration block at
// C with its records, settings, vendor tag and sum, 0xFF after it, and the
// fill generator's bytes, in order, everywhere else from 0x8000 to C + 255.
//
// Input: settings (flags: jumper, chip, schedule backup, fast backup, auto
// size, a size chosen, and which in bits 6-7; the four number texts), the
// fill's seed (4 bytes), then steps until the input ends, a step byte's low
// three bits saying what: 0 a file added (bit 3 the head file, bit 4
// unreadable, bit 5 its name in lower case; a name unless the head file,
// then its size (2 bytes), a byte its contents grow from, for the head file
// C (4 bytes, the low 20 bits used)), 1 a code type typed (row, text), 2 an
// update flag chosen (row, flag), 3 Delete, 4 "+", 5 "-" (a row each), 6 a
// build, 7 nothing.

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/number_text.h"
#include "common/text.h"
#include "firmware/image_builder.h"
#include "firmware/sub_code_table.h"
#include "reference.h"
#include "support.h"

namespace px::fuzz {
namespace {

struct File {
  std::vector<uint8_t> bytes;
  bool unreadable = false;
};

// The table as its rules say it changes: entry 0 the head file, 1 to n the
// sub-codes. Entries past n keep what they held, as the window's table does
// (a name without "." keeps the code type its entry had).
struct Grid {
  struct Entry {
    std::string path;
    uint8_t codeType = 0;
    bool update = false;
  };
  std::array<Entry, 11> entries{};
  int count = 0;

  static std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
  }
  static std::optional<unsigned> Hex(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    return std::nullopt;
  }
  static std::string FileName(const std::string& path) {
    return PathText(std::filesystem::path(path).filename());
  }

  // False when refused.
  bool Add(const std::string& path) {
    const std::string name = Upper(FileName(path));
    if (name == "SPIHEAD.BIN") {
      entries[0].path = path;
      return true;
    }
    const std::size_t dot = name.find('.');
    if (count >= 10 || (dot != std::string::npos && dot < 2)) return false;
    Entry& e = entries[static_cast<std::size_t>(count + 1)];
    e.path = path;
    if (dot != std::string::npos) {
      const std::optional<unsigned> low = Hex(name[dot - 1]);
      e.codeType = low ? static_cast<uint8_t>(Hex(name[dot - 2]).value_or(0) << 4 | *low) : 0;
    }
    e.update = true;
    ++count;
    return true;
  }
  bool SubCodeRow(int row) const { return row >= 2 && row <= count + 1; }
  Entry& AtRow(int row) { return entries[static_cast<std::size_t>(row - 1)]; }

  std::string CellText(int column, int row) const {
    static const char* kTitles[] = {"", "Subcode file", "Code Type", "Update Flag"};
    if (row == 0) return kTitles[column];
    if (column == 0) return row == 1 ? "Boot Loader" : "SubCode-" + std::to_string(row - 2);
    if (row - 1 > count) return "";
    const Entry& e = entries[static_cast<std::size_t>(row - 1)];
    if (column == 1) return FileName(e.path);
    if (row == 1) return "";
    if (column == 2) {
      static constexpr char kDigits[] = "0123456789ABCDEF";
      return {kDigits[e.codeType >> 4], kDigits[e.codeType & 0x0F], 'h'};
    }
    return e.update ? "TRUE" : "FALSE";
  }
};

void CheckGrid(const SubCodeTable& table, const Grid& grid) {
  Expect(table.SubCodeCount() == grid.count, "the number of sub-codes");
  for (int row = 0; row < SubCodeTable::kRows; ++row) {
    for (int column = 0; column < SubCodeTable::kColumns; ++column) {
      const std::string shown = table.CellText(column, row);
      const std::string expected = grid.CellText(column, row);
      Expect(shown == expected, "cell " + std::to_string(column) + "," + std::to_string(row) +
                                    " shows \"" + shown + "\", expected \"" + expected + "\"");
    }
  }
}

ImageSettings ReadSettings(Input& in) {
  const uint8_t flags = in.Byte();
  ImageSettings settings;
  settings.raidModeByJumper = (flags & 0x01) != 0;
  settings.zl7314bChip = (flags & 0x02) != 0;
  settings.scheduleBackup = (flags & 0x04) != 0;
  settings.fastBackup = (flags & 0x08) != 0;
  settings.autoSize = (flags & 0x10) != 0;
  if ((flags & 0x20) != 0) settings.binSize = static_cast<BinSize>(flags >> 6);
  settings.fanSupported = in.Text(8);
  settings.fanAlarmLimit = in.Text(8);
  settings.thermalSupported = in.Text(8);
  settings.thermalAlarmLimit = in.Text(8);
  return settings;
}

// Whether the build must be refused, by the layout's limits.
bool MustRefuse(const ImageParts& parts, const ImageSettings& settings) {
  for (const std::string* text : {&settings.fanSupported, &settings.fanAlarmLimit,
                                  &settings.thermalSupported, &settings.thermalAlarmLimit}) {
    try {
      ParseNumberText(*text);
    } catch (const ConversionError&) {
      return true;
    }
  }
  if (!parts.head || parts.head->unreadable || parts.head->bytes.size() > 0xC000 ||
      parts.head->bytes.size() < 19) {
    return true;
  }
  const uint64_t c = ref::LittleEndian(std::span(parts.head->bytes).subspan(16, 3));
  if (parts.head->bytes.size() > c) return true;
  if (!settings.autoSize && !settings.binSize) return true;
  const uint64_t sizes[] = {0x20000, 0x40000, 0x80000, 0x100000};
  const uint64_t s =
      settings.autoSize ? c + 0x8000 : sizes[static_cast<std::size_t>(*settings.binSize)];
  if (s < c + 0x8000) return true;
  if (!parts.subCodes.empty() && 0xC000 * (parts.subCodes.size() + 1) > c) return true;
  return std::any_of(parts.subCodes.begin(), parts.subCodes.end(), [](const SubCode& sub) {
    return sub.file.unreadable.has_value() || sub.file.bytes.size() > 0xC000;
  });
}

// Returns how many values the fill gave.
std::size_t CheckImage(const ImageParts& parts, const ImageSettings& settings, uint32_t seed,
                       const std::vector<uint8_t>& image) {
  const std::vector<uint8_t>& head = parts.head->bytes;
  const auto c = static_cast<std::size_t>(ref::LittleEndian(std::span(head).subspan(16, 3)));
  const std::size_t sizes[] = {0x20000, 0x40000, 0x80000, 0x100000};
  const std::size_t s =
      settings.autoSize ? c + 0x8000 : sizes[static_cast<std::size_t>(*settings.binSize)];
  Expect(image.size() == s, "the image's size");

  // What the layout sets, byte by byte (-1: nothing); the rest is fill or
  // unset.
  std::vector<int16_t> set(s, -1);
  for (std::size_t i = 0; i < head.size(); ++i) set[i] = head[i];
  const std::size_t n = parts.subCodes.size();
  uint8_t functions =
      static_cast<uint8_t>((settings.scheduleBackup ? 0x80 : 0) | (settings.fastBackup ? 0x40 : 0));
  for (std::size_t k = 1; k <= n; ++k) {
    const SubCode& sub = parts.subCodes[k - 1];
    for (std::size_t i = 0; i < sub.file.bytes.size(); ++i) set[0xC000 * k + i] = sub.file.bytes[i];
    const std::size_t record = c + 2 + 5 * (k - 1);
    set[record] = sub.codeType;
    for (std::size_t i = 0; i < 3; ++i)
      set[record + 1 + i] = static_cast<uint8_t>((0xC000 * k) >> (8 * i));
    set[record + 4] = sub.update ? 0x5A : 0x00;
    if ((sub.codeType & 0x0F) < 4)
      functions = static_cast<uint8_t>(functions | 1U << (sub.codeType & 0x0F));
  }
  for (std::size_t k = n; k < 10; ++k) set[c + 2 + 5 * k] = 0xFF;
  set[c] = 0x00;
  set[c + 1] = 0xA0;
  for (std::size_t i = 0; i < 3; ++i)
    set[c + 52 + i] = static_cast<uint8_t>((0xC000 * (n + 1)) >> (8 * i));
  set[c + 55] = 0x3F;
  set[c + 56] = settings.raidModeByJumper ? 0xF1 : 0x11;
  set[c + 57] = settings.raidModeByJumper ? 0xFF : 0x3F;
  for (std::size_t i = 58; i < 128; ++i) set[c + i] = 0x00;
  set[c + 107] = settings.zl7314bChip ? 0x80 : 0x85;
  const uint32_t fan = ParseNumberText(settings.fanSupported);
  const uint32_t fanLimit = ParseNumberText(settings.fanAlarmLimit);
  const uint32_t thermal = ParseNumberText(settings.thermalSupported);
  const uint32_t thermalLimit = ParseNumberText(settings.thermalAlarmLimit);
  set[c + 108] = static_cast<uint8_t>((thermal << 4 | fan) & 0xFF);
  set[c + 109] = static_cast<uint8_t>(fanLimit & 0xFF);
  set[c + 110] = static_cast<uint8_t>(fanLimit >> 8 & 0xFF);
  set[c + 111] = static_cast<uint8_t>(thermalLimit & 0xFF);
  set[c + 113] = functions;
  const char vendor[] = "MORLIN";
  for (std::size_t i = 0; i < 7; ++i) set[c + 114 + i] = static_cast<uint8_t>(vendor[i]);
  for (std::size_t i = c + 256; i < c + 0x8000; ++i) set[i] = 0xFF;

  std::mt19937 fill(seed);
  for (std::size_t i = 0; i < s; ++i) {
    int expected = set[i];
    if (i >= 0x8000 && i < c + 256) {
      const auto drawn = static_cast<uint8_t>(fill() & 0xFF);
      if (expected < 0) expected = drawn;
    }
    if (i >= c + 254 && i < c + 256) continue;  // the sum, below
    if (expected < 0) expected = 0xFF;
    if (image[i] != expected)
      Fail("image byte " + HexUpper(i) + "h is " + HexUpper(image[i], 2) + "h, expected " +
           HexUpper(static_cast<uint64_t>(expected), 2) + "h (C = " + HexUpper(c) + "h)");
  }
  unsigned sum = 0;
  for (std::size_t i = 0; i < 254; ++i) sum += image[c + i];
  Expect(image[c + 254] == (sum & 0xFF) && image[c + 255] == (sum >> 8 & 0xFF),
         "the configuration block's sum");
  return c + 256 > 0x8000 ? c + 256 - 0x8000 : 0;
}

}  // namespace
}  // namespace px::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace px;
  using namespace px::fuzz;
  Input in(data, size);
  const ImageSettings settings = ReadSettings(in);
  const uint32_t seed = in.U32();
  SubCodeTable table;
  Grid grid;
  std::map<std::string, File> files;
  int added = 0;

  while (!in.empty()) {
    const uint8_t step = in.Byte();
    switch (step & 7U) {
      case 0: {
        const bool head = (step & 0x08) != 0;
        const std::string name =
            head ? ((step & 0x20) != 0 ? "spihead.bin" : "SPIHEAD.BIN") : in.Text(16);
        const std::string path = "/files/" + std::to_string(++added) + "/" + name;
        File file;
        file.unreadable = (step & 0x10) != 0;
        file.bytes.resize(in.U16());
        const uint8_t grow = in.Byte();
        for (std::size_t i = 0; i < file.bytes.size(); ++i)
          file.bytes[i] = static_cast<uint8_t>(grow + i * (grow | 1U));
        if (head) {
          // C within the 8 Mbit a controller takes: larger ones follow the
          // same path and only cost time.
          const uint32_t c = in.U32() & 0xFFFFF;
          for (std::size_t i = 0; i < 3 && 16 + i < file.bytes.size(); ++i)
            file.bytes[16 + i] = static_cast<uint8_t>(c >> (8 * i));
        }
        files[path] = std::move(file);
        const bool refused = table.AddFile(path).has_value();
        Expect(refused == !grid.Add(path), "adding " + name + ": refused or not");
        break;
      }
      case 1: {
        const int row = in.Byte() % SubCodeTable::kRows;
        const std::string text = in.Text(8);
        std::optional<uint32_t> value;
        try {
          value = ParseNumberText(text);
        } catch (const ConversionError&) {
        }
        try {
          table.SetCodeTypeText(row, text);
        } catch (const ConversionError&) {
          Expect(!value || !grid.SubCodeRow(row), "a code type was refused");
        }
        if (value && grid.SubCodeRow(row)) grid.AtRow(row).codeType = static_cast<uint8_t>(*value);
        break;
      }
      case 2: {
        const int row = in.Byte() % SubCodeTable::kRows;
        const bool update = in.Flag();
        table.SetUpdateFlag(row, update);
        if (grid.SubCodeRow(row)) grid.AtRow(row).update = update;
        break;
      }
      case 3: {
        const int row = in.Byte() % SubCodeTable::kRows;
        table.Delete(row);
        if (grid.SubCodeRow(row)) {
          for (int r = row; r <= grid.count; ++r) grid.AtRow(r) = grid.AtRow(r + 1);
          --grid.count;
        }
        break;
      }
      case 4:
      case 5: {
        const int row = in.Byte() % SubCodeTable::kRows;
        const bool up = (step & 7U) == 4;
        const int to = up ? table.MoveUp(row) : table.MoveDown(row);
        const int other = up ? row - 1 : row + 1;
        const bool moves = grid.SubCodeRow(row) && grid.SubCodeRow(other);
        if (moves) std::swap(grid.AtRow(row), grid.AtRow(other));
        Expect(to == (moves ? other : row), "the row selected after a move");
        break;
      }
      case 6: {
        ImageParts parts;
        const auto part = [&](const std::filesystem::path& path) {
          const File& file = files[PathText(path)];
          ImageFile image{PathText(path.filename()), file.bytes, std::nullopt};
          if (file.unreadable)
            image.unreadable = ImageRefusal{"Error", "Fail to open firmware file"};
          return image;
        };
        if (!table.Entry(0).path.empty()) parts.head = part(table.Entry(0).path);
        for (int k = 1; k <= table.SubCodeCount(); ++k)
          parts.subCodes.push_back(
              {part(table.Entry(k).path), table.Entry(k).codeType, table.Entry(k).update});
        std::mt19937 fill(seed);
        const ImageBuild build = BuildImage(parts, settings, fill);
        const bool refuse = MustRefuse(parts, settings);
        Expect(build.refusal.has_value() == refuse,
               refuse ? "a build that breaks a limit was made"
                      : "a build within every limit was refused: " +
                            (build.refusal ? build.refusal->text : std::string()));
        if (build.refusal) {
          Expect(build.image.empty(), "a refused build left an image");
          Expect(build.refusal->title == "Error" && !build.refusal->text.empty(),
                 "a refusal is an \"Error\" box with a text");
          std::mt19937 untouched(seed);
          Expect(fill() == untouched(), "a refused build drew from the fill");
        } else {
          // The fill is left where the build stopped drawing from it.
          std::mt19937 drawn(seed);
          drawn.discard(CheckImage(parts, settings, seed, build.image));
          Expect(fill() == drawn(), "the fill after a build");
        }
        break;
      }
      default:
        break;
    }
    CheckGrid(table, grid);
  }
  return 0;
}
