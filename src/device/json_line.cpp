#include "device/json_line.h"

#include <array>
#include <charconv>
#include <cstdio>

namespace px {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  out += '"';
}

void AppendValue(std::string& out, const JsonValue& value) {
  if (std::holds_alternative<std::nullptr_t>(value)) {
    out += "null";
  } else if (const bool* flag = std::get_if<bool>(&value)) {
    out += *flag ? "true" : "false";
  } else if (const int64_t* number = std::get_if<int64_t>(&value)) {
    out += std::to_string(*number);
  } else {
    AppendQuoted(out, std::get<std::string>(value));
  }
}

// Reads the tokens of one flat object: each is first skipped over, which
// checks it, and then taken for its value.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  std::optional<JsonObject> Object(std::string& error) {
    JsonObject object;
    SkipSpace();
    if (!Take('{')) return Fail(error, "a line must be one JSON object");
    SkipSpace();
    if (Take('}')) return End(object, error);
    for (;;) {
      SkipSpace();
      const std::size_t keyStart = at_;
      if (!SkipString()) return Fail(error, "a key must be a string");
      const std::string key = Decode(text_.substr(keyStart, at_ - keyStart));
      SkipSpace();
      if (!Take(':')) return Fail(error, "':' expected after a key");
      SkipSpace();
      const std::size_t valueStart = at_;
      if (!SkipValue()) return Fail(error, "values are strings, integers, true, false or null");
      auto value = Value(text_.substr(valueStart, at_ - valueStart));
      if (!value) return Fail(error, "an integer must fit in 64 bits");
      object.Add(key, std::move(*value));
      SkipSpace();
      if (Take('}')) return End(object, error);
      if (!Take(',')) return Fail(error, "',' or '}' expected");
    }
  }

 private:
  // The text of a string token SkipString has passed, its escapes undone.
  static std::string Decode(std::string_view token) {
    std::string out;
    for (std::size_t i = 1; i + 1 < token.size(); ++i) {
      if (token[i] != '\\') {
        out += token[i];
        continue;
      }
      const char c = token[++i];
      switch (c) {
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          uint32_t code = 0;
          for (int k = 0; k < 4; ++k)
            code = code << 4 | static_cast<uint32_t>(HexDigit(token[++i]));
          AppendUtf8(out, code);
          break;
        }
        default:
          out += c;
          break;
      }
    }
    return out;
  }

  // The value of a token SkipValue has passed; nothing for an integer
  // outside 64 bits.
  static std::optional<JsonValue> Value(std::string_view token) {
    if (token.front() == '"') return JsonValue(Decode(token));
    if (token == "true") return JsonValue(true);
    if (token == "false") return JsonValue(false);
    if (token == "null") return JsonValue(nullptr);
    int64_t number = 0;
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), number);
    if (error != std::errc() || end != token.data() + token.size()) return std::nullopt;
    return JsonValue(number);
  }

  std::nullopt_t Fail(std::string& error, const char* why) const {
    error = std::string(why) + " (at column " + std::to_string(at_ + 1) + ")";
    return std::nullopt;
  }
  std::optional<JsonObject> End(JsonObject& object, std::string& error) {
    SkipSpace();
    if (at_ != text_.size()) return Fail(error, "nothing may follow the object");
    return std::move(object);
  }
  void SkipSpace() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r')) {
      ++at_;
    }
  }
  bool Take(char c) {
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  bool SkipWord(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }
  bool SkipString() {
    if (!Take('"')) return false;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') continue;
      if (at_ >= text_.size()) return false;
      const char e = text_[at_++];
      if (e == 'u') {
        for (int k = 0; k < 4; ++k) {
          if (at_ >= text_.size() || HexDigit(text_[at_++]) < 0) return false;
        }
      } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
        return false;
      }
    }
    return false;
  }
  bool SkipValue() {
    if (at_ >= text_.size()) return false;
    if (text_[at_] == '"') return SkipString();
    if (SkipWord("true") || SkipWord("false") || SkipWord("null")) return true;
    Take('-');
    const std::size_t digits = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    return at_ > digits;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

JsonObject& JsonObject::Add(std::string_view key, JsonValue value) {
  fields_.emplace_back(std::string(key), std::move(value));
  return *this;
}

const JsonValue* JsonObject::Find(std::string_view key) const {
  for (const auto& [k, value] : fields_) {
    if (k == key) return &value;
  }
  return nullptr;
}

std::string JsonText(const JsonValue& value) {
  std::string text;
  AppendValue(text, value);
  return text;
}

std::string JsonLineText(const JsonObject& object) {
  std::string line = "{";
  for (const auto& [key, value] : object.fields()) {
    if (line.size() > 1) line += ',';
    AppendQuoted(line, key);
    line += ':';
    AppendValue(line, value);
  }
  line += '}';
  return line;
}

std::optional<JsonObject> ParseJsonLine(std::string_view line, std::string& error) {
  return LineReader(line).Object(error);
}

std::string HexText(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

std::optional<std::vector<uint8_t>> HexBytes(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes(text.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = HexDigit(text[2 * i]);
    const int low = HexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return bytes;
}

LineRead ReadRecordingLine(std::istream& in, std::string& line) {
  line.clear();
  std::array<char, 4096> chunk{};
  for (bool first = true;; first = false) {
    in.getline(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (!in.fail()) {
      // Ended by its line feed, which counts but is not stored, or by the
      // end of the file.
      line.append(chunk.data(), in.eof() ? got : got - 1);
      return line.size() > kMaxRecordingLine ? LineRead::TooLong : LineRead::Line;
    }
    // Nothing more to read: the file ended at the end of a full chunk, or
    // before this line began.
    if (in.eof() || in.bad()) return first ? LineRead::End : LineRead::Line;
    // The chunk is full and the line goes on.
    line.append(chunk.data(), got);
    if (line.size() > kMaxRecordingLine) return LineRead::TooLong;
    in.clear();
  }
}

}  // namespace px
