#include <windows.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "common/files.h"
#include "common/files_system.h"

namespace px {

namespace fs = std::filesystem;

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The system's reason for what just failed; a call that failed without
// giving one (a write that took nothing) still failed.
std::error_code LastError() {
  const DWORD error = GetLastError();
  if (error == ERROR_SUCCESS) return std::make_error_code(std::errc::io_error);
  return {static_cast<int>(error), std::system_category()};
}

bool IsFolder(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1U << 20));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

}  // namespace

// A file's access on Windows is its folder's inherited security (the ACLs),
// which ReplaceFileW keeps for a file replaced; FileAccess has nothing to add.
// Links need privileges there that a planting user does not have.

FileContent ReadWholeFile(const fs::path& file, ReadFor /*purpose*/) {
  HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
    return {
        FileContent::Outcome::Unreadable, {}, {static_cast<int>(error), std::system_category()}};
  }
  std::string bytes;
  std::array<char, 65536> chunk{};
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(handle, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
      const std::error_code error = LastError();
      CloseHandle(handle);
      return {FileContent::Outcome::Unreadable, {}, error};
    }
    if (got == 0) break;
    bytes.append(chunk.data(), got);
  }
  CloseHandle(handle);
  return {FileContent::Outcome::Read, std::move(bytes), {}};
}

std::error_code ReplaceFileBytes(const fs::path& file, std::string_view bytes,
                                 FileAccess /*access*/, bool durable) {
  // ReplaceFileW would put a file in the place of a folder, under Wine at least.
  if (IsFolder(file)) return std::make_error_code(std::errc::is_a_directory);
  fs::path temporary;
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (int attempt = 0; handle == INVALID_HANDLE_VALUE && attempt < 8; ++attempt) {
    temporary = detail::TemporaryBeside(file);
    handle = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return LastError();
  }
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  std::error_code error;
  if (!WriteAll(handle, bytes) || (durable && !FlushFileBuffers(handle))) error = LastError();
  if (!CloseHandle(handle) && !error) error = LastError();
  if (!error) {
    // ReplaceFileW keeps the old file's security and attributes, as a rename
    // would not; a file that is not there yet is simply moved into place.
    const bool replaced =
        GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES
            ? ReplaceFileW(file.c_str(), temporary.c_str(), nullptr,
                           REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
            : MoveFileExW(temporary.c_str(), file.c_str(), durable ? MOVEFILE_WRITE_THROUGH : 0);
    if (!replaced) error = LastError();
  }
  if (error) DeleteFileW(temporary.c_str());
  return error;
}

OutputFile::OutputFile(const fs::path& file) {
  HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  handle_ = reinterpret_cast<std::intptr_t>(handle);
  good_ = true;
}

OutputFile::~OutputFile() {
  if (handle_ != kNone) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

void OutputFile::Write(std::string_view bytes) {
  if (good_) good_ = WriteAll(reinterpret_cast<HANDLE>(handle_), bytes);
}

std::error_code CheckFolder(const fs::path& directory) {
  if (IsFolder(directory)) return {};
  const DWORD attributes = GetFileAttributesW(directory.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  return std::make_error_code(std::errc::not_a_directory);
}

bool CanCreateFilesIn(const fs::path& directory) {
  const fs::path probe = detail::TemporaryBeside(directory / "probe");
  HANDLE handle = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  CloseHandle(handle);
  return true;
}

FileLock::FileLock(const fs::path& file, Clock& clock, uint32_t waitMs,
                   const std::function<bool()>& giveUp) {
  HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  // Another user's lock file in a shared folder: a read handle locks as well.
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
    handle = CreateFileW(file.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    reason_ = LastError().message();
    taken_ = GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
    return;
  }
  const uint64_t start = clock.TickMs();
  for (;;) {
    OVERLAPPED whole{};
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
      handle_ = reinterpret_cast<std::intptr_t>(handle);
      return;
    }
    if (GetLastError() != ERROR_LOCK_VIOLATION) {
      reason_ = LastError().message();
      CloseHandle(handle);
      return;
    }
    if (giveUp() || clock.TickMs() - start >= waitMs) {
      taken_ = true;
      reason_ = "held by another program";
      CloseHandle(handle);
      return;
    }
    clock.SleepMs(detail::kLockRetryMs);
  }
}

FileLock::~FileLock() {
  if (!Held()) return;
  HANDLE handle = reinterpret_cast<HANDLE>(handle_);
  OVERLAPPED whole{};
  UnlockFileEx(handle, 0, 1, 0, &whole);
  CloseHandle(handle);
}

}  // namespace px
