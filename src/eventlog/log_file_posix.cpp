#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "eventlog/log_file.h"
#include "eventlog/log_file_system.h"

namespace px {

namespace fs = std::filesystem;

namespace {

std::string Reason(int error) {
  return std::generic_category().message(error);
}

LogFileRead Unreadable(int error) {
  return {LogFileRead::Outcome::Unreadable, {}, Reason(error)};
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// The new file is to be the old one in all but its content: a log the user
// gave to a group, or made private, stays so.
void TakeModeAndOwner(int fd, const fs::path& file) {
  struct stat old {};
  if (::stat(file.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return;
  // Only root may give a file away; anyone may give it to a group of theirs.
  if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
    [[maybe_unused]] const int ignored = ::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
  }
  ::fchmod(fd, old.st_mode & 07777);
}

// The rename is in the folder's entries; without this a power cut may still
// bring back the old file.
void SyncFolder(const fs::path& file) {
  const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

LogFileRead ReadLogFile(const fs::path& file) {
  // Non-blocking, so that a pipe under the log's name cannot hang the
  // program until something writes to it.
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return {};
    return Unreadable(errno);
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    return Unreadable(error);
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    if (S_ISDIR(info.st_mode)) return Unreadable(EISDIR);
    return {LogFileRead::Outcome::Unreadable, {}, "not a regular file"};
  }
  std::string text;
  std::array<char, 65536> chunk{};
  for (;;) {
    const ssize_t got = ::read(fd, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      ::close(fd);
      return Unreadable(error);
    }
    if (got == 0) break;
    text.append(chunk.data(), static_cast<std::size_t>(got));
  }
  ::close(fd);
  return {LogFileRead::Outcome::Read, SplitLines(text), {}};
}

LogFolderLock::LogFolderLock(const fs::path& directory) {
  const fs::path path = directory / kLogLockName;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  // Another user's lock file in a shared folder: flock needs no write access.
  if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ::close(fd);
      return;
    }
  }
  handle_ = fd;
}

LogFolderLock::~LogFolderLock() {
  if (Held()) ::close(static_cast<int>(handle_));
}

bool ReplaceLogFile(const fs::path& file, std::span<const std::string> lines) {
  fs::path temporary;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 8; ++attempt) {
    temporary = detail::TemporaryLogName(file);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  TakeModeAndOwner(fd, file);
  bool ok = WriteAll(fd, detail::JoinLogLines(lines)) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temporary.c_str(), file.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  SyncFolder(file);
  return true;
}

namespace detail {

std::string SystemUserName() {
  std::vector<char> buffer(4096);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return found->pw_name;
  // No entry for us (a container, say): the number still names us.
  return std::to_string(::geteuid());
}

}  // namespace detail

}  // namespace px
