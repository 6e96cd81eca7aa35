#include "device/recording.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "device/knock.h"

namespace px {
namespace {

constexpr uint8_t kOpRead10 = 0x28;
constexpr uint8_t kOpWrite10 = 0x2A;
constexpr uint8_t kOpInquiry = 0x12;

std::string Quoted(std::string_view text) {
  std::string out = "\"";
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
  return out;
}

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

// Reads the JSON tokens of one flat object.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  using Fields = std::vector<std::pair<std::string, std::string>>;

  std::optional<Fields> Object(std::string& error) {
    Fields call;
    SkipSpace();
    if (!Take('{')) return Fail(error, "a line must be one JSON object");
    SkipSpace();
    if (Take('}')) return End(call, error);
    for (;;) {
      SkipSpace();
      const std::size_t keyStart = at_;
      if (!SkipString()) return Fail(error, "a key must be a string");
      const auto key = Decode(text_.substr(keyStart, at_ - keyStart));
      SkipSpace();
      if (!Take(':')) return Fail(error, "':' expected after a key");
      SkipSpace();
      const std::size_t valueStart = at_;
      if (!SkipValue()) return Fail(error, "values are strings, integers, true, false or null");
      call.emplace_back(*key, text_.substr(valueStart, at_ - valueStart));
      SkipSpace();
      if (Take('}')) return End(call, error);
      if (!Take(',')) return Fail(error, "',' or '}' expected");
    }
  }

  // The text of a JSON string token, its escapes undone.
  static std::optional<std::string> Decode(std::string_view token) {
    if (token.size() < 2 || token.front() != '"' || token.back() != '"') return std::nullopt;
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

 private:
  std::optional<Fields> Fail(std::string& error, const char* why) {
    error = std::string(why) + " (at column " + std::to_string(at_ + 1) + ")";
    return std::nullopt;
  }
  std::optional<Fields> End(Fields& call, std::string& error) {
    SkipSpace();
    if (at_ != text_.size()) return Fail(error, "nothing may follow the object");
    return std::move(call);
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

// The bytes as a JSON string of hexadecimal digits.
std::string QuotedHex(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2 + 2);
  out += '"';
  for (const uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  out += '"';
  return out;
}

std::string HexNumber(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

RecordedCall& AddOn(RecordedCall& call, const std::optional<DevicePath>& on) {
  if (!on) return call.AddText("handle", "unknown");
  if (on->kind == DevicePath::Kind::PhysicalDrive) return call.AddNumber("drive", on->number);
  return call.AddText("volume", std::string(1, on->letter));
}

std::string DescribeOn(const RecordedCall& call) {
  if (const auto drive = call.Number("drive")) return "drive " + std::to_string(*drive);
  if (const auto volume = call.Text("volume")) return "volume " + *volume + ":";
  return "a handle that was never opened";
}

std::string DescribeCommand(const RecordedCall& call) {
  const std::vector<uint8_t> cdb = call.Hex("cdb").value_or(std::vector<uint8_t>{});
  std::string what;
  const auto lba = [&] {
    return cdb.size() >= 9
               ? uint64_t{cdb[2]} << 24 | uint64_t{cdb[3]} << 16 | uint64_t{cdb[4]} << 8 | cdb[5]
               : 0;
  };
  const auto count = [&] { return cdb.size() >= 9 ? uint32_t{cdb[7]} << 8 | cdb[8] : 0; };
  const auto sectors = [&] {
    return count() == 1 ? std::string() : ", " + std::to_string(count()) + " sectors";
  };
  if (!cdb.empty() && cdb[0] == kOpRead10) {
    what = "READ(10) of LBA " + HexNumber(lba()) + sectors();
  } else if (!cdb.empty() && cdb[0] == kOpWrite10) {
    what = "WRITE(10) of LBA " + HexNumber(lba()) + sectors();
  } else if (!cdb.empty() && cdb[0] == kOpInquiry) {
    what = "INQUIRY";
  } else {
    what = "the command " + call.Text("cdb").value_or("?");
  }
  return what + " on " + DescribeOn(call);
}

bool CarriesReplySignature(std::span<const uint8_t> sector) {
  if (sector.size() != kSectorSize) return false;
  const auto head = std::span<const uint8_t>(sector.data(), 16);
  const auto tail = std::span<const uint8_t>(sector.data() + kReplyTailOffset, 16);
  return std::equal(head.begin(), head.end(), kReplyHeadSignature) ||
         std::equal(tail.begin(), tail.end(), kReplyTailSignature);
}

}  // namespace

RecordedCall& RecordedCall::AddRaw(std::string_view key, std::string_view json) {
  fields_.emplace_back(std::string(key), std::string(json));
  return *this;
}

RecordedCall& RecordedCall::AddText(std::string_view key, std::string_view text) {
  return AddRaw(key, Quoted(text));
}

RecordedCall& RecordedCall::AddNumber(std::string_view key, int64_t number) {
  return AddRaw(key, std::to_string(number));
}

RecordedCall& RecordedCall::AddFlag(std::string_view key, bool flag) {
  return AddRaw(key, flag ? "true" : "false");
}

RecordedCall& RecordedCall::AddHex(std::string_view key, std::span<const uint8_t> bytes) {
  return AddRaw(key, QuotedHex(bytes));
}

RecordedCall& RecordedCall::AddNull(std::string_view key) {
  return AddRaw(key, "null");
}

std::string RecordedCall::Line() const {
  std::string line = "{";
  for (const auto& [key, value] : fields_) {
    if (line.size() > 1) line += ',';
    line += Quoted(key);
    line += ':';
    line += value;
  }
  line += '}';
  return line;
}

std::optional<RecordedCall> RecordedCall::Parse(std::string_view line, std::string& error) {
  auto fields = LineReader(line).Object(error);
  if (!fields) return std::nullopt;
  RecordedCall call;
  call.fields_ = std::move(*fields);
  return call;
}

bool RecordedCall::Asks(const RecordedCall& question) const {
  return question.fields_.size() <= fields_.size() &&
         std::equal(question.fields_.begin(), question.fields_.end(), fields_.begin());
}

const std::string* RecordedCall::Raw(std::string_view key) const {
  for (const auto& [k, value] : fields_) {
    if (k == key) return &value;
  }
  return nullptr;
}

bool RecordedCall::IsNull(std::string_view key) const {
  const std::string* raw = Raw(key);
  return raw != nullptr && *raw == "null";
}

std::optional<std::string> RecordedCall::Text(std::string_view key) const {
  const std::string* raw = Raw(key);
  return raw == nullptr ? std::nullopt : LineReader::Decode(*raw);
}

std::optional<int64_t> RecordedCall::Number(std::string_view key) const {
  const std::string* raw = Raw(key);
  if (raw == nullptr || raw->empty() || raw->front() == '"' || raw->front() == 't' ||
      raw->front() == 'f' || raw->front() == 'n') {
    return std::nullopt;
  }
  try {
    return std::stoll(*raw);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<bool> RecordedCall::Flag(std::string_view key) const {
  const std::string* raw = Raw(key);
  if (raw == nullptr || (*raw != "true" && *raw != "false")) return std::nullopt;
  return *raw == "true";
}

std::optional<std::vector<uint8_t>> RecordedCall::Hex(std::string_view key) const {
  const auto text = Text(key);
  if (!text || text->size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes(text->size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = HexDigit((*text)[2 * i]);
    const int low = HexDigit((*text)[2 * i + 1]);
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

RecordedCall RecordingHeader(std::string_view program) {
  RecordedCall header;
  header.AddText("recording", kRecordingFormat);
  header.AddNumber("version", kRecordingVersion);
  header.AddText("program", program);
  return header;
}

std::string CheckRecordingHeader(const RecordedCall& header) {
  if (header.Text("recording") != std::string(kRecordingFormat)) {
    return "it does not begin with the header of a recording";
  }
  if (header.Number("version") != kRecordingVersion) {
    return "it is a recording of version " + std::to_string(header.Number("version").value_or(0)) +
           ", this program reads version " + std::to_string(kRecordingVersion);
  }
  return {};
}

RecordedCall OpenQuestion(const DevicePath& path) {
  RecordedCall call("open");
  return AddOn(call, path);
}

RecordedCall ExecuteQuestion(const std::optional<DevicePath>& on, const ScsiRequest& request) {
  RecordedCall call("execute");
  AddOn(call, on);
  call.AddHex("cdb", std::span<const uint8_t>(request.cdb.data(),
                                              std::min<std::size_t>(request.cdbLength, 16)));
  call.AddText("dir", request.direction == DataDirection::In ? "in" : "out");
  call.AddNumber("length", request.transferLength);
  call.AddNumber("timeout", request.timeoutSeconds);
  if (request.direction == DataDirection::Out && request.transferLength != 0 &&
      request.data != nullptr) {
    call.AddHex("out", std::span<const uint8_t>(request.data, request.transferLength));
  }
  return call;
}

RecordedCall ExtentQuestion(const std::optional<DevicePath>& on) {
  RecordedCall call("extent");
  return AddOn(call, on);
}

RecordedCall RefreshQuestion() {
  return RecordedCall("refresh");
}

RecordedCall DriveLettersQuestion() {
  return RecordedCall("drive_letters");
}

RecordedCall DriveTypeQuestion(char letter) {
  return RecordedCall("drive_type").AddText("letter", std::string(1, letter));
}

RecordedCall DriveNodeQuestion(unsigned drive) {
  return RecordedCall("drive_node").AddNumber("drive", drive);
}

RecordedCall BridgeIdQuestion(unsigned drive) {
  return RecordedCall("bridge_id").AddNumber("drive", drive);
}

RecordedCall RefusedDiskQuestion() {
  return RecordedCall("refused_disk");
}

RecordedCall ClaimQuestion(unsigned drive, ClaimPurpose purpose) {
  return RecordedCall("claim")
      .AddNumber("drive", drive)
      .AddText("purpose", purpose == ClaimPurpose::Firmware ? "firmware" : "commands");
}

RecordedCall ClaimedForFirmwareQuestion(unsigned drive) {
  return RecordedCall("claimed_for_firmware").AddNumber("drive", drive);
}

RecordedCall ClockQuestion() {
  return RecordedCall("clock");
}

namespace {

constexpr std::pair<OpenStatus, const char*> kOpenStatusNames[] = {
    {OpenStatus::Opened, "opened"}, {OpenStatus::Missing, "missing"},
    {OpenStatus::Denied, "denied"}, {OpenStatus::Changed, "changed"},
    {OpenStatus::Failed, "failed"},
};

}  // namespace

void AddOpenAnswer(RecordedCall& call, const OpenResult& result) {
  for (const auto& [status, name] : kOpenStatusNames) {
    if (status == result.status) call.AddText("status", name);
  }
  call.AddNumber("os_error", result.osError);
}

std::optional<OpenResult> OpenAnswer(const RecordedCall& call) {
  const auto name = call.Text("status");
  const auto error = call.Number("os_error");
  if (!name || !error) return std::nullopt;
  for (const auto& [status, known] : kOpenStatusNames) {
    if (*name == known) return OpenResult{kInvalidHandle, status, static_cast<int32_t>(*error)};
  }
  return std::nullopt;
}

void AddOutcomeAnswer(RecordedCall& call, const ScsiRequest& request,
                      const CommandOutcome& outcome) {
  call.AddFlag("completed", outcome.completed);
  call.AddNumber("status", outcome.scsiStatus);
  call.AddHex("sense", std::span<const uint8_t>(outcome.sense.data(), outcome.senseLength));
  call.AddNumber("host", outcome.hostStatus);
  call.AddNumber("driver", outcome.driverStatus);
  call.AddNumber("os_error", outcome.osError);
  if (!outcome.completed || request.direction != DataDirection::In || request.transferLength == 0 ||
      request.data == nullptr) {
    return;
  }
  const std::span<const uint8_t> in(request.data, request.transferLength);
  if (request.cdb[0] != kOpRead10 || CarriesReplySignature(in)) {
    call.AddHex("in", in);
  } else {
    call.AddNull("in");
  }
}

std::optional<CommandOutcome> OutcomeAnswer(const RecordedCall& call, const ScsiRequest& request) {
  CommandOutcome outcome;
  const auto completed = call.Flag("completed");
  const auto status = call.Number("status");
  const auto sense = call.Hex("sense");
  const auto host = call.Number("host");
  const auto driver = call.Number("driver");
  const auto error = call.Number("os_error");
  if (!completed || !status || !sense || sense->size() > kSenseBytes || !host || !driver ||
      !error) {
    return std::nullopt;
  }
  outcome.completed = *completed;
  outcome.scsiStatus = static_cast<uint8_t>(*status);
  outcome.senseLength = static_cast<uint8_t>(sense->size());
  std::copy(sense->begin(), sense->end(), outcome.sense.begin());
  outcome.hostStatus = static_cast<uint16_t>(*host);
  outcome.driverStatus = static_cast<uint16_t>(*driver);
  outcome.osError = static_cast<int32_t>(*error);
  if (request.data == nullptr) return outcome;
  if (call.IsNull("in")) {
    std::fill_n(request.data, request.transferLength, uint8_t{0});
  } else if (call.Has("in")) {
    const auto in = call.Hex("in");
    if (!in || in->size() != request.transferLength) return std::nullopt;
    std::copy(in->begin(), in->end(), request.data);
  }
  return outcome;
}

void AddExtentAnswer(RecordedCall& call, const std::optional<DiskExtent>& extent) {
  if (!extent) {
    call.AddNull("disk");
    return;
  }
  call.AddNumber("disk", extent->diskNumber);
  call.AddNumber("offset", static_cast<int64_t>(extent->startingOffset));
  call.AddNumber("length", static_cast<int64_t>(extent->extentLength));
}

std::optional<std::optional<DiskExtent>> ExtentAnswer(const RecordedCall& call) {
  if (call.IsNull("disk")) return std::optional<DiskExtent>();
  const auto disk = call.Number("disk");
  const auto offset = call.Number("offset");
  const auto length = call.Number("length");
  if (!disk || !offset || !length) return std::nullopt;
  return std::optional<DiskExtent>(DiskExtent{static_cast<uint32_t>(*disk),
                                              static_cast<uint64_t>(*offset),
                                              static_cast<uint64_t>(*length)});
}

void AddRefusedDiskAnswer(RecordedCall& call, const std::optional<DeniedDisk>& denied) {
  if (!denied) {
    call.AddNull(kNodeKey);
    return;
  }
  call.AddText(kNodeKey, denied->node);
  call.AddText("group", denied->group);
}

std::optional<std::optional<DeniedDisk>> RefusedDiskAnswer(const RecordedCall& call) {
  if (call.IsNull(kNodeKey)) return std::optional<DeniedDisk>();
  auto node = call.Text(kNodeKey);
  auto group = call.Text("group");
  if (!node || !group) return std::nullopt;
  return std::optional<DeniedDisk>(DeniedDisk{std::move(*node), std::move(*group)});
}

std::string Describe(const RecordedCall& call) {
  const std::string name = call.Text("call").value_or("");
  const std::string drive = std::to_string(call.Number("drive").value_or(0));
  if (name == "execute") return DescribeCommand(call);
  if (name == "open") return "opening " + DescribeOn(call);
  if (name == "extent") return "the extent of " + DescribeOn(call);
  if (name == "refresh") return "a new look at the host's disks";
  if (name == "drive_letters") return "the list of drive letters";
  if (name == "drive_type") return "the type of drive " + call.Text("letter").value_or("?") + ":";
  if (name == "drive_node") return "the name of drive " + drive;
  if (name == "refused_disk") return "the disk refused for lack of permission";
  if (name == "claim") {
    return "a claim on drive " + drive + " for " + call.Text("purpose").value_or("?");
  }
  if (name == "claimed_for_firmware") return "whether drive " + drive + " is held for firmware";
  if (name == "clock") return "a reading of the clock";
  return call.Line();
}

std::string DescribeDifference(const RecordedCall& expected, const RecordedCall& came) {
  std::string text = "expected " + Describe(expected) + ", came " + Describe(came);
  if (Describe(expected) != Describe(came)) return text;
  for (const auto& [key, value] : came.fields()) {
    const auto recorded =
        std::find_if(expected.fields().begin(), expected.fields().end(),
                     [&wanted = key](const auto& field) { return field.first == wanted; });
    if (recorded != expected.fields().end() && recorded->second == value) continue;
    const auto before = expected.Hex(key);
    const auto now = came.Hex(key);
    if (before && now) {
      const auto differ = std::mismatch(before->begin(), before->end(), now->begin(), now->end());
      const auto at = static_cast<std::size_t>(differ.first - before->begin());
      return text + " (its " + key + " data differs from byte " + std::to_string(at) + " on)";
    }
    const auto shown = [](const std::string& json) {
      return json.size() > 40 ? json.substr(0, 37) + "..." : json;
    };
    return text + " (its " + key + " differs: recorded " +
           (recorded == expected.fields().end() ? std::string("nothing")
                                                : shown(recorded->second)) +
           ", now " + shown(value) + ")";
  }
  return text;
}

}  // namespace px
