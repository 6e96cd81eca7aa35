#include "device/call_texts.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "device/scsi_commands.h"

namespace px {
namespace {

std::string HexNumber(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
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

// A value as the line holds it, cut short where it is long.
std::string Shown(const JsonValue* value) {
  if (value == nullptr) return "nothing";
  const std::string json = JsonText(*value);
  return json.size() > 40 ? json.substr(0, 37) + "..." : json;
}

}  // namespace

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
  const auto key = FirstDifference(expected, came);
  if (!key) return text;
  if (KindOf(came, *key) == FieldKind::Bytes) {
    const auto before = expected.Hex(*key);
    const auto now = came.Hex(*key);
    if (before && now) {
      const auto differ = std::mismatch(before->begin(), before->end(), now->begin(), now->end());
      const auto at = static_cast<std::size_t>(differ.first - before->begin());
      return text + " (its " + *key + " data differs from byte " + std::to_string(at) + " on)";
    }
  }
  return text + " (its " + *key + " differs: recorded " + Shown(expected.Find(*key)) + ", now " +
         Shown(came.Find(*key)) + ")";
}

}  // namespace px
