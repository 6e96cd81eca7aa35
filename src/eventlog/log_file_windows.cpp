#include <windows.h>

#include <algorithm>
#include <array>
#include <string_view>
#include <system_error>

#include "eventlog/log_file.h"
#include "eventlog/log_file_system.h"

namespace px {

namespace fs = std::filesystem;

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::string Reason(DWORD error) {
  return std::system_category().message(static_cast<int>(error));
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

LogFileRead ReadLogFile(const fs::path& file) {
  HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
    return {LogFileRead::Outcome::Unreadable, {}, Reason(error)};
  }
  std::string text;
  std::array<char, 65536> chunk{};
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(handle, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
      const DWORD error = GetLastError();
      CloseHandle(handle);
      return {LogFileRead::Outcome::Unreadable, {}, Reason(error)};
    }
    if (got == 0) break;
    text.append(chunk.data(), got);
  }
  CloseHandle(handle);
  return {LogFileRead::Outcome::Read, SplitLines(text), {}};
}

LogFolderLock::LogFolderLock(const fs::path& directory) {
  const fs::path path = directory / kLogLockName;
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  // Another user's lock file in a shared folder: a read handle locks as well.
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
    handle = CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  OVERLAPPED whole{};
  if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole)) {
    CloseHandle(handle);
    return;
  }
  handle_ = reinterpret_cast<std::intptr_t>(handle);
}

LogFolderLock::~LogFolderLock() {
  if (!Held()) return;
  HANDLE handle = reinterpret_cast<HANDLE>(handle_);
  OVERLAPPED whole{};
  UnlockFileEx(handle, 0, 1, 0, &whole);
  CloseHandle(handle);
}

bool ReplaceLogFile(const fs::path& file, std::span<const std::string> lines) {
  // ReplaceFile would put a file in the place of a folder, under Wine at least.
  const DWORD old = GetFileAttributesW(file.c_str());
  if (old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  fs::path temporary;
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (int attempt = 0; handle == INVALID_HANDLE_VALUE && attempt < 8; ++attempt) {
    temporary = detail::TemporaryLogName(file);
    handle = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  if (handle == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteAll(handle, detail::JoinLogLines(lines)) && FlushFileBuffers(handle);
  ok = CloseHandle(handle) && ok;
  if (ok) {
    // ReplaceFile keeps the old file's security and attributes, as a rename
    // would not; a file that is not there yet is simply moved into place.
    if (GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES)
      ok = ReplaceFileW(file.c_str(), temporary.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                        nullptr, nullptr);
    else
      ok = MoveFileExW(temporary.c_str(), file.c_str(), MOVEFILE_WRITE_THROUGH);
  }
  if (!ok) DeleteFileW(temporary.c_str());
  return ok;
}

namespace detail {

std::string SystemUserName() {
  std::array<char, 257> name{};
  DWORD size = static_cast<DWORD>(name.size());
  if (!GetUserNameA(name.data(), &size) || size == 0) return {};
  return std::string(name.data(), size - 1);
}

}  // namespace detail

}  // namespace px
