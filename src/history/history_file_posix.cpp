#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

#include "common/text.h"
#include "history/history_file.h"

namespace px::history {

namespace fs = std::filesystem;

namespace {

std::string Reason(int error) {
  return std::generic_category().message(error);
}

// Why the folder `path` (no link) must not be on the way to the history, or
// empty when it may.
std::string FolderTrouble(const fs::path& path, bool last) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return PathText(path) + ": " + Reason(errno);
  if (!S_ISDIR(info.st_mode)) return PathText(path) + " is not a folder";
  const uid_t us = ::geteuid();
  if (last ? info.st_uid != us : info.st_uid != us && info.st_uid != 0)
    return PathText(path) + " belongs to another user";
  // A user's own group (Debian gives each user one, and a umask of 002 to
  // go with it) is the user; root's counts as others, like any group.
  const bool groupIsUs = us != 0 && info.st_gid == ::getegid();
  const bool othersWrite =
      (info.st_mode & S_IWOTH) != 0 || ((info.st_mode & S_IWGRP) != 0 && !groupIsUs);
  if (othersWrite && (last || (info.st_mode & S_ISVTX) == 0))
    return PathText(path) + " may be written by other users";
  return {};
}

bool Exists(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

std::optional<fs::path> PrepareFolder(const fs::path& folder, std::string& why) {
  std::error_code error;
  fs::path absolute = fs::absolute(folder, error).lexically_normal();
  if (error) {
    why = PathText(folder) + ": " + error.message();
    return std::nullopt;
  }
  if (!absolute.has_filename()) absolute = absolute.parent_path();
  // The part that exists, with its links resolved, then what is to be made.
  fs::path existing = absolute;
  std::vector<fs::path> missing;
  while (!Exists(existing) && existing.has_relative_path()) {
    missing.push_back(existing.filename());
    existing = existing.parent_path();
  }
  fs::path path = fs::canonical(existing, error);
  if (error) {
    why = PathText(existing) + ": " + error.message();
    return std::nullopt;
  }
  fs::path walked = path.root_path();
  for (auto part = path.begin(); part != path.end(); ++part) {
    if (part == path.begin()) continue;  // the root
    walked /= *part;
    why = FolderTrouble(walked, missing.empty() && walked == path);
    if (!why.empty()) return std::nullopt;
  }
  for (auto part = missing.rbegin(); part != missing.rend(); ++part) {
    path /= *part;
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
      why = PathText(path) + ": " + Reason(errno);
      return std::nullopt;
    }
    why = FolderTrouble(path, part + 1 == missing.rend());
    if (!why.empty()) return std::nullopt;
  }
  return path;
}

std::optional<WriterLock> WriterLock::Take(const fs::path& file, std::string& why) {
  fs::path name = file;
  name += ".lock";
  const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    why = PathText(name) + ": " + Reason(errno);
    return std::nullopt;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
    ::close(fd);
    why = PathText(name) + " is not a lock file of ours";
    return std::nullopt;
  }
  // Whoever may open it may hold it: only we may.
  ::fchmod(fd, 0600);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    why = error == EWOULDBLOCK ? "another program keeps it (the window or another pxraid monitor)"
                               : PathText(name) + ": " + Reason(error);
    return std::nullopt;
  }
  return WriterLock(fd);
}

WriterLock::~WriterLock() {
  if (fd_ >= 0) ::close(fd_);
}

WriterLock::WriterLock(WriterLock&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

WriterLock& WriterLock::operator=(WriterLock&& other) noexcept {
  std::swap(fd_, other.fd_);
  return *this;
}

std::optional<fs::path> SetAside(const fs::path& file, std::string_view label, std::string& why) {
  const auto companion = [](fs::path path, const char* suffix) { return path += suffix; };
  const auto failed = [&why](const fs::path& path) {
    why = PathText(path) + ": " + Reason(errno);
    return std::nullopt;
  };
  const fs::path stem = file.parent_path() / file.stem();
  for (int attempt = 1; attempt <= 100; ++attempt) {
    fs::path target = stem;
    target += "-" + std::string(label);
    if (attempt > 1) target += "-" + std::to_string(attempt);
    target += file.extension();
    if (Exists(target)) continue;
    // A second name first, which fails rather than replace anything; a
    // folder without hard links has the name checked above and renames.
    const bool linked = ::link(file.c_str(), target.c_str()) == 0;
    if (!linked) {
      if (errno == EEXIST) continue;
      if (errno != EPERM && errno != EXDEV && errno != ENOTSUP && errno != EMLINK)
        return failed(file);
    }
    // The log goes with its file before the old name is free: a new history
    // under the old name must never be handed the old one's log.
    const fs::path wal = companion(file, "-wal");
    if (::rename(wal.c_str(), companion(target, "-wal").c_str()) != 0 && errno != ENOENT)
      return failed(wal);
    ::unlink(companion(file, "-shm").c_str());
    if (linked ? ::unlink(file.c_str()) != 0 : ::rename(file.c_str(), target.c_str()) != 0)
      return failed(file);
    return target;
  }
  why = "too many histories set aside beside " + PathText(file);
  return std::nullopt;
}

}  // namespace px::history
