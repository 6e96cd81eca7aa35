#include "firmware/flash_backup.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>

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
  const fs::path temporary = TemporaryBeside(path);
  bool created = false;
  std::error_code error = WriteNewFile(temporary, bytes, created);
  if (!error) error = RenameOver(temporary, path);
  if (error && created) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
  }
  return error;
}

}  // namespace px
