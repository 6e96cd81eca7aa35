#include "firmware/sub_code_table.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "common/number_text.h"
#include "common/text.h"

namespace px {
namespace {

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

bool IsHeadFileName(const std::filesystem::path& path) {
  return UpperName(path) == kHeadFileName;
}

std::optional<std::string> SubCodeTable::AddFile(const std::filesystem::path& path) {
  const std::string name = UpperName(path);
  if (name == kHeadFileName) {
    entries_[0].path = path;
    return std::nullopt;
  }
  if (count_ >= kMaxSubCodes) return NoRoomText(name);
  const std::size_t dot = name.find('.');
  if (dot != std::string::npos && dot < 2) {
    return "Cannot tell the code type of " + name +
           ": the name needs two hex digits before its \".\".";
  }
  SubCodeEntry& entry = entries_[static_cast<std::size_t>(count_ + 1)];
  entry.path = path;
  // Without a "." the name says nothing, and the entry keeps the type it had.
  if (dot != std::string::npos) entry.codeType = CodeTypeFromName(name, dot);
  entry.update = true;
  ++count_;
  return std::nullopt;
}

std::string SubCodeTable::CellText(int column, int row) const {
  static constexpr const char* kTitles[] = {"", "Subcode file", "Code Type", "Update Flag"};
  if (column < 0 || column >= kColumns || row < 0 || row >= kRows) return {};
  if (row == 0) return kTitles[column];
  if (column == 0) {
    return row == 1 ? std::string("Boot Loader") : "SubCode-" + std::to_string(row - 2);
  }
  const int index = row - 1;
  if (index > count_) return {};
  const SubCodeEntry& entry = Entry(index);
  if (column == 1) return PathText(entry.path.filename());
  if (index == 0) return {};
  if (column == 2) return HexUpper(entry.codeType, 2) + "h";
  return entry.update ? "TRUE" : "FALSE";
}

std::optional<std::string> SubCodeTable::CellDetail(int column, int row) const {
  if (row < 1 || row > count_ + 1) return std::nullopt;
  const SubCodeEntry& entry = Entry(row - 1);
  if (column == 1) return PathText(entry.path);
  if (column == 2) return HexUpper(entry.codeType, 2);
  if (column == 3) return entry.update ? "1" : "0";
  return std::nullopt;
}

CellEditor SubCodeTable::EditorFor(int column, int row) const {
  if (!IsSubCodeRow(row)) return CellEditor::None;
  if (column == 2) return CellEditor::CodeType;
  if (column == 3) return CellEditor::UpdateFlag;
  return CellEditor::None;
}

void SubCodeTable::SetCodeTypeText(int row, std::string_view text) {
  if (!IsSubCodeRow(row)) return;
  AtRow(row).codeType = static_cast<uint8_t>(ParseNumberText(text) & 0xFF);
}

void SubCodeTable::SetUpdateFlag(int row, bool update) {
  if (IsSubCodeRow(row)) AtRow(row).update = update;
}

void SubCodeTable::Delete(int row) {
  if (!IsSubCodeRow(row)) return;
  const auto first = entries_.begin() + row - 1;
  std::copy(first + 1, entries_.begin() + count_ + 1, first);
  --count_;
}

int SubCodeTable::MoveUp(int row) {
  if (row <= 2 || !IsSubCodeRow(row)) return row;
  std::swap(AtRow(row), AtRow(row - 1));
  return row - 1;
}

int SubCodeTable::MoveDown(int row) {
  if (!IsSubCodeRow(row) || row == count_ + 1) return row;
  std::swap(AtRow(row), AtRow(row + 1));
  return row + 1;
}

}  // namespace px
