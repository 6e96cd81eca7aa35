#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

// The lines of a recording: each one flat JSON object whose values are
// null, true or false, integers and texts. Written here rather than with a
// JSON library because a recording keeps a device's texts as they came,
// bytes that are no UTF-8 included, and reads them back the same; the
// libraries at hand refuse such bytes both ways, and would also change how
// the control characters of a text are written.
namespace px {

using JsonValue = std::variant<std::nullptr_t, bool, int64_t, std::string>;

// A flat JSON object, its fields in the order they came.
class JsonObject {
 public:
  using Field = std::pair<std::string, JsonValue>;

  JsonObject& Add(std::string_view key, JsonValue value);
  // The first field of that key; null when there is none.
  const JsonValue* Find(std::string_view key) const;
  const std::vector<Field>& fields() const { return fields_; }

  friend bool operator==(const JsonObject&, const JsonObject&) = default;

 private:
  std::vector<Field> fields_;
};

// The value as a line holds it. Texts escape '"', '\' and the C0 controls
// (as \u00XX) and keep every other byte as it is.
std::string JsonText(const JsonValue& value);
// The object on one line, without a line feed.
std::string JsonLineText(const JsonObject& object);
// One line's object, or nothing with `error` saying why and at which column.
// Integers must fit 64 bits; \u escapes are taken one by one, as UTF-8.
std::optional<JsonObject> ParseJsonLine(std::string_view line, std::string& error);

// Byte strings are texts of lower-case hexadecimal digits; either case reads.
std::string HexText(std::span<const uint8_t> bytes);
std::optional<std::vector<uint8_t>> HexBytes(std::string_view text);

// No recorded line comes near this: the longest holds one sector's data, a
// kilobyte of hexadecimal digits. A longer line is refused, not read.
inline constexpr std::size_t kMaxRecordingLine = std::size_t{1} << 20;

enum class LineRead { Line, End, TooLong };
// The next line of a recording, without its line feed, into `line`; End at
// the end of the file. A line longer than kMaxRecordingLine is TooLong, and
// no more of it is held than that: a file is no proof of its own size.
LineRead ReadRecordingLine(std::istream& in, std::string& line);

}  // namespace px
