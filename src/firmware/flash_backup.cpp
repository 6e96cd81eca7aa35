#include "firmware/flash_backup.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>
#include <string_view>

#include "common/files.h"
#include "common/sha256.h"
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

std::string EnclosureKey(std::span<const uint8_t, kSectorSize> statusRecord) {
  std::string key;
  const StatusRecordView status(statusRecord);
  for (Port port : kBothPorts) {
    const std::string serial = FileNamePart(status.Member(port).Serial());
    if (serial.empty()) continue;
    if (!key.empty()) key += '_';
    key += serial;
  }
  return key;
}

std::string FlashBackupName(std::span<const uint8_t, kSectorSize> statusRecord,
                            const LogTime& time) {
  const std::string key = EnclosureKey(statusRecord);
  return "flash" + (key.empty() ? std::string() : "_" + key) + "_" + TwoDigits(time.year) +
         TwoDigits(time.month) + TwoDigits(time.day) + "-" + TwoDigits(time.hour) +
         TwoDigits(time.minute) + TwoDigits(time.second) + ".bin";
}

bool ReadsErased(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

fs::path ChecksumFileOf(const fs::path& backup) {
  fs::path file = backup;
  file += ".sha256";
  return file;
}

std::optional<std::string> RestoreRefusal(std::span<const uint8_t> bytes) {
  if (bytes.size() != kFlashSize) {
    return "The backup has " + std::to_string(bytes.size()) + " bytes; a flash backup has " +
           std::to_string(kFlashSize) + ".";
  }
  if (ReadsErased(bytes)) return "The backup holds nothing but erased flash (every byte FFh).";
  return std::nullopt;
}

std::optional<std::vector<uint8_t>> LoadFlashBackup(const fs::path& path, Messages& messages,
                                                    std::error_code* reason) {
  std::optional<std::vector<uint8_t>> bytes = ReadFirmwareSource(path, messages, reason);
  if (!bytes) return std::nullopt;
  std::optional<std::string> refusal = RestoreRefusal(*bytes);
  if (!refusal) {
    const fs::path checksumFile = ChecksumFileOf(path);
    const std::string name = PathText(checksumFile.filename());
    std::error_code error;
    if (fs::status(checksumFile, error).type() == fs::file_type::not_found) {
      messages.Show(
          "Message",
          "The backup has no checksum file beside it (" + name + "): it cannot be checked.",
          MessageIcon::None);
      return bytes;
    }
    // Read as the user who named the backup would read it.
    const FileContent content = ReadWholeFile(checksumFile, ReadFor::Showing);
    // Its first word; sha256sum writes lower case, a hand may not.
    std::string expected;
    std::istringstream(content.bytes) >> expected;
    std::transform(expected.begin(), expected.end(), expected.begin(), [](char c) {
      return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    if (content.outcome != FileContent::Outcome::Read) {
      refusal = "The checksum file " + name + " cannot be read.";
    } else if (expected != Sha256Text(*bytes)) {
      refusal = "The backup does not match its checksum file " + name + ".";
    }
  }
  if (refusal) {
    messages.Show("Error", *refusal + "\nPlease check it.", MessageIcon::Error);
    return std::nullopt;
  }
  return bytes;
}

std::error_code SaveFlashBackup(const fs::path& path, std::span<const uint8_t> bytes) {
  // The backup first: a checksum file that fails to follow leaves the old
  // one, which no longer matches and makes a restore refuse the backup.
  const std::string checksum = Sha256Text(bytes) + "  " + PathText(path.filename()) + "\n";
  if (const std::error_code error = ReplaceFileBytes(
          path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
          FileAccess::OwnerOnly, true)) {
    return error;
  }
  return ReplaceFileBytes(ChecksumFileOf(path), checksum, FileAccess::OwnerOnly, true);
}

}  // namespace px
