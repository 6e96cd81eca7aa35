#include "firmware/flash_backup.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <random>

#include "common/sha256.h"
#include "common/text.h"
#include "firmware/file_bytes.h"
#include "firmware/upgrade.h"
#include "raid/record_views.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

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

std::error_code LastError() {
#ifdef _WIN32
  return {static_cast<int>(GetLastError()), std::system_category()};
#else
  return {errno, std::generic_category()};
#endif
}

// A name no one else uses beside `path`, hidden where a leading dot hides.
fs::path TemporaryBeside(const fs::path& path) {
  std::random_device random;
  // Built by appending: GCC 12 warns falsely (-Wrestrict) about a literal
  // prepended to a temporary string.
  std::string name = ".";
  name += PathText(path.filename());
  name += '.';
  name += HexUpper(random(), 8);
  name += ".part";
  fs::path temporary = path;
  temporary.replace_filename(name);
  return temporary;
}

// Creates `temporary` (never over an existing file), writes `bytes` and
// waits for the disk to have them. `created` tells whether there is a file
// to clean up.
std::error_code WriteNewFile(const fs::path& temporary, std::span<const uint8_t> bytes,
                             bool& created) {
  const std::error_code stalled = std::make_error_code(std::errc::io_error);
#ifdef _WIN32
  const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastError();
  created = true;
  std::error_code error;
  for (std::size_t done = 0; done < bytes.size() && !error;) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
    if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr)) {
      error = LastError();
    } else if (written == 0) {
      error = stalled;
    }
    done += written;
  }
  if (!error && !FlushFileBuffers(file)) error = LastError();
  if (!CloseHandle(file) && !error) error = LastError();
  return error;
#else
  const int file = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (file < 0) return LastError();
  created = true;
  std::error_code error;
  for (std::size_t done = 0; done < bytes.size() && !error;) {
    const ssize_t written = ::write(file, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno != EINTR) {
      error = LastError();
    } else if (written == 0) {
      error = stalled;
    } else if (written > 0) {
      done += static_cast<std::size_t>(written);
    }
  }
  if (!error && ::fsync(file) != 0) error = LastError();
  if (::close(file) != 0 && !error) error = LastError();
  return error;
#endif
}

std::error_code RenameOver(const fs::path& from, const fs::path& to) {
#ifdef _WIN32
  if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return LastError();
  }
#else
  if (::rename(from.c_str(), to.c_str()) != 0) return LastError();
  // The rename itself reaches the disk with its folder. Should that fail,
  // a crash could lose the new name, never leave half a file under it.
  const fs::path folder = to.has_parent_path() ? to.parent_path() : fs::path(".");
  if (const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
#endif
  return {};
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
    std::ifstream in(checksumFile, std::ios::binary);
    // Its first word; sha256sum writes lower case, a hand may not.
    std::string expected;
    in >> expected;
    std::transform(expected.begin(), expected.end(), expected.begin(), [](char c) {
      return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    if (!in.is_open()) {
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
  const std::string checksum = Sha256Text(bytes) + "  " + PathText(path.filename()) + "\n";
  const fs::path checksumFile = ChecksumFileOf(path);
  const struct {
    fs::path final;
    std::span<const uint8_t> bytes;
  } files[] = {
      {path, bytes},
      {checksumFile, std::span(reinterpret_cast<const uint8_t*>(checksum.data()), checksum.size())},
  };
  std::vector<fs::path> temporaries;
  std::error_code error;
  for (const auto& file : files) {
    const fs::path temporary = TemporaryBeside(file.final);
    bool created = false;
    error = WriteNewFile(temporary, file.bytes, created);
    if (created) temporaries.push_back(temporary);
    if (error) break;
  }
  for (std::size_t i = 0; !error && i < std::size(files); ++i) {
    error = RenameOver(temporaries[i], files[i].final);
    if (!error) temporaries[i].clear();
  }
  for (const fs::path& temporary : temporaries) {
    std::error_code ignored;
    if (!temporary.empty()) fs::remove(temporary, ignored);
  }
  return error;
}

}  // namespace px
