#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "device/transport.h"

// A recording of a device session: one JSON object per line, the first a
// header, then every call the program made to its transport and every
// reading of its clock, in the order they happened. Each line holds the
// question (what was called, with what) and then the answer. Byte strings
// (CDBs, data, sense) are lower-case hexadecimal.
namespace px {

inline constexpr char kRecordingFormat[] = "px-raid-session";
inline constexpr int64_t kRecordingVersion = 1;

// One line of a recording: a flat JSON object whose values are kept as their
// JSON text, so that two questions compare field by field.
class RecordedCall {
 public:
  RecordedCall() = default;
  explicit RecordedCall(std::string_view call) { AddText("call", call); }

  RecordedCall& AddText(std::string_view key, std::string_view text);
  RecordedCall& AddNumber(std::string_view key, int64_t number);
  RecordedCall& AddFlag(std::string_view key, bool flag);
  RecordedCall& AddHex(std::string_view key, std::span<const uint8_t> bytes);
  RecordedCall& AddNull(std::string_view key);

  std::string Line() const;
  // The line as a call, or nothing with `error` saying why.
  static std::optional<RecordedCall> Parse(std::string_view line, std::string& error);

  // Whether this call begins with every field of `question`, in its order.
  bool Asks(const RecordedCall& question) const;

  bool Has(std::string_view key) const { return Raw(key) != nullptr; }
  bool IsNull(std::string_view key) const;
  std::optional<std::string> Text(std::string_view key) const;
  std::optional<int64_t> Number(std::string_view key) const;
  std::optional<bool> Flag(std::string_view key) const;
  std::optional<std::vector<uint8_t>> Hex(std::string_view key) const;

  const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

 private:
  RecordedCall& AddRaw(std::string_view key, std::string_view json);
  const std::string* Raw(std::string_view key) const;
  std::vector<std::pair<std::string, std::string>> fields_;
};

// No recorded line comes near this: the longest holds one sector's data, a
// kilobyte of hexadecimal digits. A longer line is refused, not read.
inline constexpr std::size_t kMaxRecordingLine = std::size_t{1} << 20;

enum class LineRead { Line, End, TooLong };
// The next line of a recording, without its line feed, into `line`; End at
// the end of the file. A line longer than kMaxRecordingLine is TooLong, and
// no more of it is held than that: a file is no proof of its own size.
LineRead ReadRecordingLine(std::istream& in, std::string& line);

// The first line of a recording.
RecordedCall RecordingHeader(std::string_view program);
// Empty when `header` begins a recording this program can replay, else why not.
std::string CheckRecordingHeader(const RecordedCall& header);

// The questions, built alike by the recorder and the replayer. A handle is
// named by what it was opened for; nothing when it is none of ours.
RecordedCall OpenQuestion(const DevicePath& path);
RecordedCall ExecuteQuestion(const std::optional<DevicePath>& on, const ScsiRequest& request);
RecordedCall ExtentQuestion(const std::optional<DevicePath>& on);
RecordedCall RefreshQuestion();
RecordedCall DriveLettersQuestion();
RecordedCall DriveTypeQuestion(char letter);
RecordedCall DriveNodeQuestion(unsigned drive);
RecordedCall BridgeIdQuestion(unsigned drive);
RecordedCall RefusedDiskQuestion();
RecordedCall ClaimQuestion(unsigned drive, ClaimPurpose purpose);
RecordedCall ClaimedForFirmwareQuestion(unsigned drive);
RecordedCall ClockQuestion();

// The answers that are one value, by key.
inline constexpr char kLettersKey[] = "mask";
inline constexpr char kTypeKey[] = "type";
inline constexpr char kNodeKey[] = "node";
inline constexpr char kIdKey[] = "id";
inline constexpr char kGrantedKey[] = "granted";
inline constexpr char kFirmwareKey[] = "firmware";
inline constexpr char kMillisecondsKey[] = "ms";

// The other answers: written after the question, read back by the replayer,
// which gets nothing when a recorded line lacks one.
void AddOpenAnswer(RecordedCall& call, const OpenResult& result);
std::optional<OpenResult> OpenAnswer(const RecordedCall& call);  // handle left invalid

// The data a read brought in is kept only where the program looks at it: the
// controller's reply sectors (a sector carrying either reply signature) and
// whatever is not a READ(10), such as INQUIRY. Every other sector the
// program reads (the knocks, the reads between them, sector 17 of a disk
// that is no enclosure) is the disk's own and never looked at, so it is
// recorded as read but not kept; a replay hands back zeros for it.
void AddOutcomeAnswer(RecordedCall& call, const ScsiRequest& request,
                      const CommandOutcome& outcome);
// Also puts the recorded data into the request's buffer.
std::optional<CommandOutcome> OutcomeAnswer(const RecordedCall& call, const ScsiRequest& request);

void AddExtentAnswer(RecordedCall& call, const std::optional<DiskExtent>& extent);
std::optional<std::optional<DiskExtent>> ExtentAnswer(const RecordedCall& call);
void AddRefusedDiskAnswer(RecordedCall& call, const std::optional<DeniedDisk>& denied);
std::optional<std::optional<DeniedDisk>> RefusedDiskAnswer(const RecordedCall& call);

// What a call asks, for people: "READ(10) of LBA 0x11 on drive 1".
std::string Describe(const RecordedCall& call);
// Why `came` is not `expected`, for people: both described, and where they
// describe alike, the field that differs.
std::string DescribeDifference(const RecordedCall& expected, const RecordedCall& came);

}  // namespace px
