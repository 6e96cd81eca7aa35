#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/json_line.h"
#include "device/transport.h"

// A recording of a device session: one JSON object per line (json_line.h),
// the first a header, then every call the program made to its transport and
// every reading of its clock, in the order they happened. Each line holds
// the question (what was called, with what) and then the answer. What each
// call's line holds is one table, which the recorder writes by and the
// replayer reads and compares by.
namespace px {

inline constexpr char kRecordingFormat[] = "px-raid-session";
inline constexpr int64_t kRecordingVersion = 1;

// Bytes (CDBs, data, sense) are written as texts of hexadecimal digits, and
// compared as the bytes they spell.
enum class FieldKind : uint8_t { Number, Text, Flag, Bytes };

struct FieldSpec {
  std::string_view key;
  FieldKind kind;
  // May be missing: it does not apply to every call of its kind (a handle
  // is named by one of three fields; only data written is sent).
  bool optional = false;
  // May be null, for "none": no extent, no disk refused, data read but not
  // kept.
  bool nullable = false;
};

struct CallSpec {
  std::string_view name;
  std::span<const FieldSpec> arguments;
  std::span<const FieldSpec> answer;
  // Held only by recordings made since the program began to ask it; a
  // replay of an older one answers as a host that cannot tell.
  bool sinceAsked = false;
};

// Every call a recording holds, in the table's order.
std::span<const CallSpec> RecordedCalls();
// Null for a name that is none of them.
const CallSpec* FindRecordedCall(std::string_view name);

// One line of a recording: "call", the call's name, and its fields, whose
// kinds the table gives.
class RecordedCall {
 public:
  RecordedCall() = default;
  explicit RecordedCall(std::string_view call);

  // A call of the table's takes only the fields the table gives it.
  RecordedCall& AddText(std::string_view key, std::string_view text);
  RecordedCall& AddNumber(std::string_view key, int64_t number);
  RecordedCall& AddFlag(std::string_view key, bool flag);
  RecordedCall& AddHex(std::string_view key, std::span<const uint8_t> bytes);
  RecordedCall& AddNull(std::string_view key);
  RecordedCall& AddValue(std::string_view key, JsonValue value);

  // The line: for a call of the table's, its fields in the table's order.
  std::string Line() const;
  // The line as a call, or nothing with `error` saying why.
  static std::optional<RecordedCall> Parse(std::string_view line, std::string& error);

  // Its row of the table; null when it is none of the table's calls.
  const CallSpec* spec() const { return spec_; }
  const JsonValue* Find(std::string_view key) const { return object_.Find(key); }
  bool Has(std::string_view key) const { return Find(key) != nullptr; }
  bool IsNull(std::string_view key) const;
  std::optional<std::string> Text(std::string_view key) const;
  std::optional<int64_t> Number(std::string_view key) const;
  std::optional<bool> Flag(std::string_view key) const;
  std::optional<std::vector<uint8_t>> Hex(std::string_view key) const;

 private:
  const CallSpec* spec_ = nullptr;
  JsonObject object_;
};

// The kind the table gives `key` in `call`'s row; nothing when it gives none.
std::optional<FieldKind> KindOf(const RecordedCall& call, std::string_view key);

// The first argument of `question` that `recorded` does not hold alike,
// comparing values (numbers as numbers, bytes as bytes), or "call" when it
// is another call; nothing when `recorded` answers `question`.
std::optional<std::string> FirstDifference(const RecordedCall& recorded,
                                           const RecordedCall& question);
// Whether the recorded answer holds every field its row asks for, each of
// its kind.
bool AnswerComplete(const RecordedCall& call);

// The first line of a recording.
JsonObject RecordingHeader(std::string_view program);
// Empty when `header` begins a recording this program can replay, else why not.
std::string CheckRecordingHeader(const JsonObject& header);

// The questions, built alike by the recorder and the replayer. A handle is
// named by what it was opened for; nothing when it is none of ours.
RecordedCall OpenQuestion(const DevicePath& path);
RecordedCall ExecuteQuestion(const std::optional<DevicePath>& on, const ScsiRequest& request);
RecordedCall ExtentQuestion(const std::optional<DevicePath>& on);
RecordedCall RefreshQuestion();
RecordedCall DriveLettersQuestion();
RecordedCall DriveTypeQuestion(char letter);
RecordedCall DriveNodeQuestion(PhysicalDrive drive);
RecordedCall BridgeIdQuestion(PhysicalDrive drive);
RecordedCall RefusedDiskQuestion();
RecordedCall ClaimQuestion(PhysicalDrive drive, ClaimPurpose purpose);
RecordedCall ClaimedForFirmwareQuestion(PhysicalDrive drive);
RecordedCall ClockQuestion();

// The answers that are one value: written into, and read from, the one
// field the call's row gives its answer.
RecordedCall& AddSoleAnswer(RecordedCall& call, JsonValue value);
const JsonValue* SoleAnswer(const RecordedCall& call);

// The other answers: written after the question, read back by the replayer,
// which gets nothing when a recorded line lacks one.
void AddOpenAnswer(RecordedCall& call, const OpenResult& result);
std::optional<OpenResult> OpenAnswer(const RecordedCall& call);  // handle left invalid

// Whether a recording keeps the data a command brought in, or notes only
// that it was read and keeps nothing of it (a replay hands back zeros). Only
// the layer that talks to the controller knows which sectors the program
// looks at; this one does not.
using KeepReadData = std::function<bool(const ScsiRequest& request, std::span<const uint8_t> data)>;

// The data read is added as the rule says; a rule that is empty keeps none.
void AddOutcomeAnswer(RecordedCall& call, const ScsiRequest& request, const CommandOutcome& outcome,
                      const KeepReadData& keep);
// Also puts the recorded data into the request's buffer.
std::optional<CommandOutcome> OutcomeAnswer(const RecordedCall& call, const ScsiRequest& request);

void AddExtentAnswer(RecordedCall& call, const std::optional<DiskExtent>& extent);
std::optional<std::optional<DiskExtent>> ExtentAnswer(const RecordedCall& call);
void AddRefusedDiskAnswer(RecordedCall& call, const std::optional<DeniedDisk>& denied);
std::optional<std::optional<DeniedDisk>> RefusedDiskAnswer(const RecordedCall& call);

}  // namespace px
