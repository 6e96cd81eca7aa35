#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "firmware/image_builder.h"

namespace px {

// One file of the table: entry 0 is the head file, entries 1 to 10 the
// sub-codes in slot order.
struct SubCodeEntry {
  std::filesystem::path path;
  uint8_t codeType = 0;
  bool update = false;
};

enum class CellEditor { None, CodeType, UpdateFlag };

// The name the head file goes by, in any case.
inline constexpr char kHeadFileName[] = "SPIHEAD.BIN";
bool IsHeadFileName(const std::filesystem::path& path);

// The sub-code table as the "Make Bin" grid shows and edits it: 4 columns by
// 12 rows, row 0 the titles and column 0 the rows' names; row 1 is the head
// file ("Boot Loader"), row k + 1 sub-code k.
class SubCodeTable {
 public:
  static constexpr int kColumns = 4;
  static constexpr int kRows = 12;

  int SubCodeCount() const { return count_; }
  const SubCodeEntry& Entry(int index) const {
    return entries_.at(static_cast<std::size_t>(index));
  }

  // A chosen file: the head file by its name, anything else the next
  // sub-code, updated, with its code type from the two characters before the
  // first "." of its name. Says why when there is no room or no code type.
  std::optional<std::string> AddFile(const std::filesystem::path& path);

  std::string CellText(int column, int row) const;
  // What a selected cell tells of its entry: the full path, the code type as
  // two hex digits, the update flag as 0 or 1.
  std::optional<std::string> CellDetail(int column, int row) const;
  CellEditor EditorFor(int column, int row) const;

  // Throws ConversionError, changing nothing, for a text that is no number.
  void SetCodeTypeText(int row, std::string_view text);
  void SetUpdateFlag(int row, bool update);
  // The head file's row is neither moved nor deleted: the head file has to
  // stay the head file. MoveUp and MoveDown give the row the entry went to.
  void Delete(int row);
  int MoveUp(int row);
  int MoveDown(int row);

 private:
  bool IsSubCodeRow(int row) const { return row >= 2 && row <= count_ + 1; }
  SubCodeEntry& AtRow(int row) { return entries_[static_cast<std::size_t>(row - 1)]; }

  std::array<SubCodeEntry, kMaxSubCodes + 1> entries_{};
  int count_ = 0;
};

}  // namespace px
