#include "device/recorded_calls.h"

#include <algorithm>
#include <cassert>

namespace px {
namespace {

using enum FieldKind;

// A handle is named by what it was opened for, one of these three.
constexpr FieldSpec kDrive{"drive", Number, true};
constexpr FieldSpec kVolume{"volume", Text, true};
constexpr FieldSpec kHandle{"handle", Text, true};
constexpr FieldSpec kOn[] = {kDrive, kVolume, kHandle};

constexpr FieldSpec kOpenAnswer[] = {{"status", Text}, {"os_error", Number}};
constexpr FieldSpec kExecuteArguments[] = {
    kDrive,
    kVolume,
    kHandle,
    {"cdb", Bytes},
    {"dir", Text},
    {"length", Number},
    {"timeout", Number},
    {"out", Bytes, true},
};
constexpr FieldSpec kExecuteAnswer[] = {
    {"completed", Flag}, {"status", Number},   {"sense", Bytes},          {"host", Number},
    {"driver", Number},  {"os_error", Number}, {"in", Bytes, true, true},
};
constexpr FieldSpec kExtentAnswer[] = {
    {"disk", Number, false, true}, {"offset", Number, true}, {"length", Number, true}};
constexpr FieldSpec kLettersAnswer[] = {{"mask", Number}};
constexpr FieldSpec kLetterArgument[] = {{"letter", Text}};
constexpr FieldSpec kTypeAnswer[] = {{"type", Number}};
constexpr FieldSpec kDriveArgument[] = {{"drive", Number}};
constexpr FieldSpec kNodeAnswer[] = {{"node", Text}};
constexpr FieldSpec kIdAnswer[] = {{"id", Text}};
constexpr FieldSpec kRefusedAnswer[] = {{"node", Text, false, true}, {"group", Text, true}};
constexpr FieldSpec kClaimArguments[] = {{"drive", Number}, {"purpose", Text}};
constexpr FieldSpec kGrantedAnswer[] = {{"granted", Flag}};
constexpr FieldSpec kFirmwareAnswer[] = {{"firmware", Flag}};
constexpr FieldSpec kClockAnswer[] = {{"ms", Number}};

constexpr CallSpec kCalls[] = {
    {"open", kOn, kOpenAnswer},
    {"execute", kExecuteArguments, kExecuteAnswer},
    {"extent", kOn, kExtentAnswer},
    {"refresh", {}, {}},
    {"drive_letters", {}, kLettersAnswer},
    {"drive_type", kLetterArgument, kTypeAnswer},
    {"drive_node", kDriveArgument, kNodeAnswer},
    // Since the history names enclosures by their bridges.
    {"bridge_id", kDriveArgument, kIdAnswer, true},
    {"refused_disk", {}, kRefusedAnswer},
    {"claim", kClaimArguments, kGrantedAnswer},
    {"claimed_for_firmware", kDriveArgument, kFirmwareAnswer},
    {"clock", {}, kClockAnswer},
};

constexpr char kCallKey[] = "call";

const FieldSpec* FieldOf(const CallSpec& spec, std::string_view key) {
  for (const auto fields : {spec.arguments, spec.answer}) {
    const auto field = std::find_if(fields.begin(), fields.end(),
                                    [key](const FieldSpec& f) { return f.key == key; });
    if (field != fields.end()) return &*field;
  }
  return nullptr;
}

bool OfKind(FieldKind kind, const JsonValue& value) {
  switch (kind) {
    case Number:
      return std::holds_alternative<int64_t>(value);
    case Text:
      return std::holds_alternative<std::string>(value);
    case Flag:
      return std::holds_alternative<bool>(value);
    case Bytes: {
      const auto* text = std::get_if<std::string>(&value);
      return text != nullptr && HexBytes(*text).has_value();
    }
  }
  return false;
}

// Two values of a field, either missing (null).
bool Alike(FieldKind kind, const JsonValue* a, const JsonValue* b) {
  if (a == nullptr || b == nullptr) return a == b;
  if (kind == Bytes && OfKind(Bytes, *a) && OfKind(Bytes, *b)) {
    return HexBytes(std::get<std::string>(*a)) == HexBytes(std::get<std::string>(*b));
  }
  return *a == *b;
}

RecordedCall& AddOn(RecordedCall& call, const std::optional<DevicePath>& on) {
  if (!on) return call.AddText("handle", "unknown");
  if (on->kind == DevicePath::Kind::PhysicalDrive)
    return call.AddNumber("drive", on->drive.number());
  return call.AddText("volume", std::string(1, on->letter));
}

constexpr std::pair<OpenStatus, const char*> kOpenStatusNames[] = {
    {OpenStatus::Opened, "opened"}, {OpenStatus::Missing, "missing"},
    {OpenStatus::Denied, "denied"}, {OpenStatus::Changed, "changed"},
    {OpenStatus::Failed, "failed"},
};

}  // namespace

std::span<const CallSpec> RecordedCalls() {
  return kCalls;
}

const CallSpec* FindRecordedCall(std::string_view name) {
  const auto found = std::find_if(std::begin(kCalls), std::end(kCalls),
                                  [name](const CallSpec& c) { return c.name == name; });
  return found == std::end(kCalls) ? nullptr : &*found;
}

RecordedCall::RecordedCall(std::string_view call) : spec_(FindRecordedCall(call)) {
  object_.Add(kCallKey, std::string(call));
}

RecordedCall& RecordedCall::AddValue(std::string_view key, JsonValue value) {
  assert(spec_ == nullptr || FieldOf(*spec_, key) != nullptr);
  object_.Add(key, std::move(value));
  return *this;
}

RecordedCall& RecordedCall::AddText(std::string_view key, std::string_view text) {
  return AddValue(key, std::string(text));
}

RecordedCall& RecordedCall::AddNumber(std::string_view key, int64_t number) {
  return AddValue(key, number);
}

RecordedCall& RecordedCall::AddFlag(std::string_view key, bool flag) {
  return AddValue(key, flag);
}

RecordedCall& RecordedCall::AddHex(std::string_view key, std::span<const uint8_t> bytes) {
  return AddValue(key, HexText(bytes));
}

RecordedCall& RecordedCall::AddNull(std::string_view key) {
  return AddValue(key, nullptr);
}

std::string RecordedCall::Line() const {
  if (spec_ == nullptr) return JsonLineText(object_);
  JsonObject ordered;
  ordered.Add(kCallKey, *Find(kCallKey));
  for (const auto fields : {spec_->arguments, spec_->answer}) {
    for (const FieldSpec& field : fields) {
      if (const JsonValue* value = Find(field.key)) ordered.Add(field.key, *value);
    }
  }
  for (const auto& [key, value] : object_.fields()) {
    if (key != kCallKey && FieldOf(*spec_, key) == nullptr) ordered.Add(key, value);
  }
  return JsonLineText(ordered);
}

std::optional<RecordedCall> RecordedCall::Parse(std::string_view line, std::string& error) {
  auto object = ParseJsonLine(line, error);
  if (!object) return std::nullopt;
  RecordedCall call;
  call.object_ = std::move(*object);
  if (const auto name = call.Text(kCallKey)) call.spec_ = FindRecordedCall(*name);
  return call;
}

bool RecordedCall::IsNull(std::string_view key) const {
  const JsonValue* value = Find(key);
  return value != nullptr && std::holds_alternative<std::nullptr_t>(*value);
}

std::optional<std::string> RecordedCall::Text(std::string_view key) const {
  const JsonValue* value = Find(key);
  const auto* text = value == nullptr ? nullptr : std::get_if<std::string>(value);
  return text == nullptr ? std::nullopt : std::optional<std::string>(*text);
}

std::optional<int64_t> RecordedCall::Number(std::string_view key) const {
  const JsonValue* value = Find(key);
  const auto* number = value == nullptr ? nullptr : std::get_if<int64_t>(value);
  return number == nullptr ? std::nullopt : std::optional<int64_t>(*number);
}

std::optional<bool> RecordedCall::Flag(std::string_view key) const {
  const JsonValue* value = Find(key);
  const auto* flag = value == nullptr ? nullptr : std::get_if<bool>(value);
  return flag == nullptr ? std::nullopt : std::optional<bool>(*flag);
}

std::optional<std::vector<uint8_t>> RecordedCall::Hex(std::string_view key) const {
  const auto text = Text(key);
  return text ? HexBytes(*text) : std::nullopt;
}

std::optional<FieldKind> KindOf(const RecordedCall& call, std::string_view key) {
  const FieldSpec* field = call.spec() == nullptr ? nullptr : FieldOf(*call.spec(), key);
  return field == nullptr ? std::nullopt : std::optional<FieldKind>(field->kind);
}

std::optional<std::string> FirstDifference(const RecordedCall& recorded,
                                           const RecordedCall& question) {
  if (recorded.Text(kCallKey) != question.Text(kCallKey)) return kCallKey;
  if (question.spec() == nullptr) return std::nullopt;
  for (const FieldSpec& field : question.spec()->arguments) {
    if (!Alike(field.kind, recorded.Find(field.key), question.Find(field.key))) {
      return std::string(field.key);
    }
  }
  return std::nullopt;
}

bool AnswerComplete(const RecordedCall& call) {
  if (call.spec() == nullptr) return false;
  return std::all_of(call.spec()->answer.begin(), call.spec()->answer.end(),
                     [&call](const FieldSpec& field) {
                       const JsonValue* value = call.Find(field.key);
                       if (value == nullptr) return field.optional;
                       if (std::holds_alternative<std::nullptr_t>(*value)) return field.nullable;
                       return OfKind(field.kind, *value);
                     });
}

JsonObject RecordingHeader(std::string_view program) {
  JsonObject header;
  header.Add("recording", std::string(kRecordingFormat));
  header.Add("version", kRecordingVersion);
  header.Add("program", std::string(program));
  return header;
}

std::string CheckRecordingHeader(const JsonObject& header) {
  const JsonValue* format = header.Find("recording");
  if (format == nullptr || *format != JsonValue(std::string(kRecordingFormat))) {
    return "it does not begin with the header of a recording";
  }
  const JsonValue* version = header.Find("version");
  const auto* number = version == nullptr ? nullptr : std::get_if<int64_t>(version);
  if (number == nullptr || *number != kRecordingVersion) {
    return "it is a recording of version " + std::to_string(number == nullptr ? 0 : *number) +
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

RecordedCall DriveNodeQuestion(PhysicalDrive drive) {
  return RecordedCall("drive_node").AddNumber("drive", drive.number());
}

RecordedCall BridgeIdQuestion(PhysicalDrive drive) {
  return RecordedCall("bridge_id").AddNumber("drive", drive.number());
}

RecordedCall RefusedDiskQuestion() {
  return RecordedCall("refused_disk");
}

RecordedCall ClaimQuestion(PhysicalDrive drive, ClaimPurpose purpose) {
  return RecordedCall("claim")
      .AddNumber("drive", drive.number())
      .AddText("purpose", purpose == ClaimPurpose::Firmware ? "firmware" : "commands");
}

RecordedCall ClaimedForFirmwareQuestion(PhysicalDrive drive) {
  return RecordedCall("claimed_for_firmware").AddNumber("drive", drive.number());
}

RecordedCall ClockQuestion() {
  return RecordedCall("clock");
}

RecordedCall& AddSoleAnswer(RecordedCall& call, JsonValue value) {
  assert(call.spec() != nullptr && call.spec()->answer.size() == 1);
  return call.AddValue(call.spec()->answer.front().key, std::move(value));
}

const JsonValue* SoleAnswer(const RecordedCall& call) {
  if (call.spec() == nullptr || call.spec()->answer.size() != 1) return nullptr;
  return call.Find(call.spec()->answer.front().key);
}

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

void AddOutcomeAnswer(RecordedCall& call, const ScsiRequest& request, const CommandOutcome& outcome,
                      const KeepReadData& keep) {
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
  if (keep && keep(request, in)) {
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
    call.AddNull("node");
    return;
  }
  call.AddText("node", denied->node);
  call.AddText("group", denied->group);
}

std::optional<std::optional<DeniedDisk>> RefusedDiskAnswer(const RecordedCall& call) {
  if (call.IsNull("node")) return std::optional<DeniedDisk>();
  auto node = call.Text("node");
  auto group = call.Text("group");
  if (!node || !group) return std::nullopt;
  return std::optional<DeniedDisk>(DeniedDisk{std::move(*node), std::move(*group)});
}

}  // namespace px
