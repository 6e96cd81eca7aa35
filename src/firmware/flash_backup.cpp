#include "firmware/flash_backup.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "common/files.h"
#include "common/text.h"
#include "firmware/file_bytes.h"
#include "firmware/upgrade.h"
#include "raid/record_views.h"

namespace px {

namespace fs = std::filesystem;

namespace {

std::string FileNamePart(std::string text) {
  const auto first = text.find_first_not_of(' ');
  const auto last = text.find_last_not_of(' ');
  text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
  for (char& c : text) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.';
    if (!plain) c = '-';
  }
  return text;
}

std::string TwoDigits(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d", value % 100);
  return text;
}

}  // namespace

std::string FlashBackupName(std::span<const uint8_t, kSectorSize> statusRecord,
                            const LogTime& time) {
  std::string name = "flash";
  const StatusRecordView status(statusRecord);
  for (Port port : kBothPorts) {
    const std::string serial = FileNamePart(status.Member(port).Serial());
    if (!serial.empty()) name += "_" + serial;
  }
  return name + "_" + TwoDigits(time.year) + TwoDigits(time.month) + TwoDigits(time.day) + "-" +
         TwoDigits(time.hour) + TwoDigits(time.minute) + TwoDigits(time.second) + ".bin";
}

std::optional<std::string> RestoreRefusal(std::span<const uint8_t> bytes) {
  if (bytes.size() != kFlashSize) {
    return "The backup has " + std::to_string(bytes.size()) + " bytes; a flash backup has " +
           std::to_string(kFlashSize) + ".";
  }
  if (std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; })) {
    return "The backup holds nothing but erased flash (every byte FFh).";
  }
  return std::nullopt;
}

std::optional<std::vector<uint8_t>> LoadFlashBackup(const fs::path& path, Messages& messages,
                                                    std::error_code* reason) {
  std::optional<std::vector<uint8_t>> bytes = ReadFirmwareSource(path, messages, reason);
  if (!bytes) return std::nullopt;
  if (const std::optional<std::string> refusal = RestoreRefusal(*bytes)) {
    messages.Show("Error", *refusal + "\nPlease check it.", MessageIcon::Error);
    return std::nullopt;
  }
  return bytes;
}

std::error_code SaveFlashBackup(const fs::path& path, std::span<const uint8_t> bytes) {
  return ReplaceFileBytes(
      path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
      FileAccess::OwnerOnly, true);
}

}  // namespace px
