#include "firmware/sub_code_table.h"

#include <gtest/gtest.h>

#include <functional>

#include "common/number_text.h"
#include "firmware_rig.h"

namespace px {
namespace {

namespace fs = std::filesystem;

fs::path In(const std::string& name) {
  return fs::path("in") / name;
}

// Rows 1 to 11 as "file|code type|update flag"; empty rows at the end left
// out.
std::vector<std::string> Grid(const SubCodeTable& table) {
  std::vector<std::string> rows;
  for (int row = 1; row < SubCodeTable::kRows; ++row) {
    rows.push_back(table.CellText(1, row) + "|" + table.CellText(2, row) + "|" +
                   table.CellText(3, row));
  }
  while (!rows.empty() && rows.back() == "||") rows.pop_back();
  return rows;
}

// The code type editor's Enter: the conversion error, or nothing.
std::function<std::string(SubCodeTable&)> Typed(std::string text) {
  return [text](SubCodeTable& t) -> std::string {
    try {
      t.SetCodeTypeText(2, text);
      return {};
    } catch (const ConversionError& error) {
      return error.what();
    }
  };
}

std::function<std::string(SubCodeTable&)> Added(std::string name) {
  return [name](SubCodeTable& t) { return t.AddFile(In(name)).value_or(""); };
}

struct GridCase {
  const char* name;
  std::vector<std::string> files;  // chosen before the edit, in this order
  std::function<std::string(SubCodeTable&)> edit;
  std::string said;  // a refusal, an error, the row selected after a move
  std::vector<std::string> rows;
};

TEST(SubCodeTable, GridEdits) {
  const std::vector<std::string> four{"SPIHEAD.BIN", "S-01.BIN", "S-02.BIN", "S-03.BIN"};
  const std::vector<std::string> fourRows{"SPIHEAD.BIN||", "S-01.BIN|01h|TRUE", "S-02.BIN|02h|TRUE",
                                          "S-03.BIN|03h|TRUE"};
  const auto none = [](SubCodeTable&) { return std::string(); };
  std::vector<std::string> ten;
  std::vector<std::string> tenRows{"||"};
  for (int i = 10; i < 20; ++i) {
    const std::string file = "SUB-" + std::to_string(i) + ".BIN";
    ten.push_back(file);
    tenRows.push_back(file + "|" + std::to_string(i) + "h|TRUE");
  }

  const GridCase cases[] = {
      {"code types from the two characters before the first dot",
       {"SUB-A0.BIN", "sub-a0.bin", "S-3G.BIN", "SG3.BIN", "AB.C.D", "7F"},
       none,
       "",
       {"||", "SUB-A0.BIN|A0h|TRUE", "sub-a0.bin|A0h|TRUE", "S-3G.BIN|00h|TRUE", "SG3.BIN|03h|TRUE",
        "AB.C.D|ABh|TRUE", "7F|00h|TRUE"}},
      {"a name without a dot keeps the code type its entry held",
       {"SUB-55.BIN"},
       [](SubCodeTable& t) {
         t.Delete(2);
         return t.AddFile(In("NODOT")).value_or("");
       },
       "",
       {"||", "NODOT|55h|TRUE"}},
      {"the head file by its name in any case, replaced when chosen again",
       {"SPIHEAD.BIN", "SUB-A0.BIN"},
       [](SubCodeTable& t) {
         t.AddFile(fs::path("other") / "SpiHead.Bin");
         return t.CellDetail(1, 1).value_or("");
       },
       test::PathString(fs::path("other") / "SpiHead.Bin"),
       {"SpiHead.Bin||", "SUB-A0.BIN|A0h|TRUE"}},
      {"an eleventh sub-code", ten, Added("SUB-99.BIN"),
       "No room for SUB-99.BIN: an image holds at most 10 sub-codes.", tenRows},
      {"one character before the dot",
       {},
       Added("a.bin"),
       "Cannot tell the code type of A.BIN: the name needs two hex digits before its \".\".",
       {}},
      {"nothing before the dot",
       {},
       Added(".BIN"),
       "Cannot tell the code type of .BIN: the name needs two hex digits before its \".\".",
       {}},
      {"code type typed in decimal",
       {"SUB-12.BIN"},
       Typed("160"),
       "",
       {"||", "SUB-12.BIN|A0h|TRUE"}},
      {"code type typed in hex", {"SUB-12.BIN"}, Typed("a0h"), "", {"||", "SUB-12.BIN|A0h|TRUE"}},
      {"code type typed in hex, upper case",
       {"SUB-12.BIN"},
       Typed("A0H"),
       "",
       {"||", "SUB-12.BIN|A0h|TRUE"}},
      {"code type kept to 8 bits",
       {"SUB-12.BIN"},
       Typed("1FFh"),
       "",
       {"||", "SUB-12.BIN|FFh|TRUE"}},
      {"negative code type", {"SUB-12.BIN"}, Typed("-1"), "", {"||", "SUB-12.BIN|FFh|TRUE"}},
      {"hex code type without its H",
       {"SUB-12.BIN"},
       Typed("A0"),
       "'A0' is not a valid integer value",
       {"||", "SUB-12.BIN|12h|TRUE"}},
      {"empty code type",
       {"SUB-12.BIN"},
       Typed(""),
       "'' is not a valid integer value",
       {"||", "SUB-12.BIN|12h|TRUE"}},
      {"update flag to FALSE",
       {"SUB-A0.BIN", "SUB-31.BIN"},
       [](SubCodeTable& t) {
         t.SetUpdateFlag(3, false);
         return std::string();
       },
       "",
       {"||", "SUB-A0.BIN|A0h|TRUE", "SUB-31.BIN|31h|FALSE"}},
      {"only a sub-code's code type and update flag are edited",
       {"SPIHEAD.BIN", "SUB-A0.BIN"},
       [](SubCodeTable& t) {
         t.SetCodeTypeText(1, "5");
         t.SetUpdateFlag(1, false);
         t.SetCodeTypeText(3, "5");
         std::string editors;
         for (const auto& [column, row] : std::vector<std::pair<int, int>>{
                  {2, 2}, {3, 2}, {1, 2}, {0, 2}, {2, 1}, {3, 1}, {2, 3}}) {
           const CellEditor editor = t.EditorFor(column, row);
           editors += editor == CellEditor::CodeType     ? "C"
                      : editor == CellEditor::UpdateFlag ? "U"
                                                         : "-";
         }
         return editors;
       },
       "CU-----",
       {"SPIHEAD.BIN||", "SUB-A0.BIN|A0h|TRUE"}},
      {"what a selected cell tells of its entry",
       {"SUB-31.BIN"},
       [](SubCodeTable& t) {
         t.SetUpdateFlag(2, false);
         std::string details;
         for (const auto& [column, row] :
              std::vector<std::pair<int, int>>{{1, 2}, {2, 2}, {3, 2}, {0, 2}, {2, 3}}) {
           details += t.CellDetail(column, row).value_or("-") + " ";
         }
         return details;
       },
       test::PathString(In("SUB-31.BIN")) + " 31 0 - - ",
       {"||", "SUB-31.BIN|31h|FALSE"}},
      {"Delete on the middle sub-code",
       four,
       [](SubCodeTable& t) {
         t.Delete(3);
         return std::string();
       },
       "",
       {"SPIHEAD.BIN||", "S-01.BIN|01h|TRUE", "S-03.BIN|03h|TRUE"}},
      {"Delete on the last sub-code",
       four,
       [](SubCodeTable& t) {
         t.Delete(4);
         return std::string();
       },
       "",
       {"SPIHEAD.BIN||", "S-01.BIN|01h|TRUE", "S-02.BIN|02h|TRUE"}},
      {"Delete on Boot Loader does nothing", four,
       [](SubCodeTable& t) {
         t.Delete(1);
         return std::string();
       },
       "", fourRows},
      {"Delete below the last row does nothing", four,
       [](SubCodeTable& t) {
         t.Delete(5);
         return std::string();
       },
       "", fourRows},
      {"+ moves up",
       four,
       [](SubCodeTable& t) { return std::to_string(t.MoveUp(4)); },
       "3",
       {"SPIHEAD.BIN||", "S-01.BIN|01h|TRUE", "S-03.BIN|03h|TRUE", "S-02.BIN|02h|TRUE"}},
      {"+ on the first sub-code stays below Boot Loader", four,
       [](SubCodeTable& t) { return std::to_string(t.MoveUp(2)); }, "2", fourRows},
      {"- moves down",
       four,
       [](SubCodeTable& t) { return std::to_string(t.MoveDown(2)); },
       "3",
       {"SPIHEAD.BIN||", "S-02.BIN|02h|TRUE", "S-01.BIN|01h|TRUE", "S-03.BIN|03h|TRUE"}},
      {"- on the last sub-code does nothing", four,
       [](SubCodeTable& t) { return std::to_string(t.MoveDown(4)); }, "4", fourRows},
      {"- on Boot Loader does nothing", four,
       [](SubCodeTable& t) { return std::to_string(t.MoveDown(1)); }, "1", fourRows},
  };

  for (const GridCase& c : cases) {
    SCOPED_TRACE(c.name);
    SubCodeTable table;
    for (const std::string& file : c.files) ASSERT_FALSE(table.AddFile(In(file))) << file;
    EXPECT_EQ(c.edit(table), c.said);
    EXPECT_EQ(Grid(table), c.rows);
    // The titles and the rows' names never change.
    EXPECT_EQ(table.CellText(0, 0) + table.CellText(1, 0) + "," + table.CellText(2, 0) + "," +
                  table.CellText(3, 0),
              "Subcode file,Code Type,Update Flag");
    for (int row = 1; row < SubCodeTable::kRows; ++row) {
      EXPECT_EQ(table.CellText(0, row),
                row == 1 ? std::string("Boot Loader") : "SubCode-" + std::to_string(row - 2));
    }
  }
}

}  // namespace
}  // namespace px
