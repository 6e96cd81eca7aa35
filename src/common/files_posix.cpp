#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>
#include <utility>

#include "common/files.h"
#include "common/files_system.h"

namespace px {

namespace fs = std::filesystem;

namespace {

// A name is opened as what it is: a link is refused (ELOOP), a pipe does not
// wait for a writer, a terminal does not become ours.
constexpr int kNoSurprises = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

#ifdef O_PATH
// Enough to fstat what a name is, whatever its permission bits allow us.
constexpr int kLookOnly = O_PATH | O_NOFOLLOW | O_CLOEXEC;
#else
constexpr int kLookOnly = O_RDONLY | kNoSurprises;
#endif

std::error_code Errno(int error) {
  if (error == ELOOP) return FileRefusal::Link;
  return {error, std::generic_category()};
}

bool Root() {
  return ::geteuid() == 0;
}

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  // The descriptor's close, which is where a delayed write error shows.
  bool Close() { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

fs::path FolderOf(const fs::path& file) {
  return file.has_parent_path() ? file.parent_path() : fs::path(".");
}

std::string NameIn(const fs::path& file) {
  return file.filename().native();
}

// Sticky, a folder lets nobody but a file's owner remove or rename it.
bool OpenToOthers(const struct stat& folder) {
  if ((folder.st_mode & S_ISVTX) != 0) return false;
  return (folder.st_mode & S_IWOTH) != 0 || ((folder.st_mode & S_IWGRP) != 0 && folder.st_gid != 0);
}

std::error_code OpenFolder(const fs::path& directory, Descriptor& folder) {
  Descriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return Errno(errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return Errno(errno);
  if (Root() && OpenToOthers(info)) return FileRefusal::OpenFolder;
  folder = std::move(fd);
  return {};
}

// What is no file to read or replace: a folder, a link, a pipe, a device.
std::error_code NotAFile(const struct stat& file) {
  if (S_ISDIR(file.st_mode)) return Errno(EISDIR);
  if (S_ISLNK(file.st_mode)) return FileRefusal::Link;
  if (!S_ISREG(file.st_mode)) return FileRefusal::NotAFile;
  return {};
}

// What makes a file one this program may not keep the bytes of, or replace.
std::error_code Distrust(const struct stat& file) {
  if (const std::error_code error = NotAFile(file)) return error;
  if (Root() && file.st_uid != ::geteuid()) return FileRefusal::OthersFile;
  if (Root() && file.st_nlink != 1) return FileRefusal::OtherNames;
  return {};
}

// The system's reason for a write that failed; a write that took nothing
// has none of its own.
std::error_code WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return Errno(errno);
    if (written == 0) return std::make_error_code(std::errc::io_error);
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

// Before the first byte is written, so that a private file is never readable
// by others, not even for a moment.
std::error_code GiveAccess(int fd, FileAccess access, const struct stat* old) {
  mode_t mode = 0;
  switch (access) {
    case FileAccess::OwnerOnly:
      mode = 0600;
      break;
    case FileAccess::EveryoneReads:
      mode = 0644;
      break;
    case FileAccess::AsBefore:
      if (old == nullptr) return {};
      // Anyone may give a file to a group of theirs; a group it may not have
      // leaves it with ours.
      [[maybe_unused]] const int ignored = ::fchown(fd, static_cast<uid_t>(-1), old->st_gid);
      mode = old->st_mode & 0777;
      break;
  }
  if (::fchmod(fd, mode) != 0) return Errno(errno);
  return {};
}

}  // namespace

FileContent ReadWholeFile(const fs::path& file, ReadFor purpose) {
  const bool keeping = purpose == ReadFor::Keeping;
  constexpr int kFollowing = O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  Descriptor fd(::open(file.c_str(), O_RDONLY | (keeping ? kNoSurprises : kFollowing)));
  if (!fd) {
    if (errno == ENOENT) return {};
    return {FileContent::Outcome::Unreadable, {}, Errno(errno)};
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return {FileContent::Outcome::Unreadable, {}, Errno(errno)};
  if (const std::error_code refusal = keeping ? Distrust(info) : NotAFile(info)) {
    return {FileContent::Outcome::Unreadable, {}, refusal};
  }
  std::string bytes;
  std::array<char, 65536> chunk{};
  for (;;) {
    const ssize_t got = ::read(fd.get(), chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return {FileContent::Outcome::Unreadable, {}, Errno(errno)};
    if (got == 0) break;
    bytes.append(chunk.data(), static_cast<std::size_t>(got));
  }
  return {FileContent::Outcome::Read, std::move(bytes), {}};
}

std::error_code ReplaceFileBytes(const fs::path& file, std::string_view bytes, FileAccess access,
                                 bool durable) {
  Descriptor folder;
  if (const std::error_code error = OpenFolder(FolderOf(file), folder)) return error;
  const std::string name = NameIn(file);

  struct stat old {};
  bool oldFile = false;
  if (Descriptor present(::openat(folder.get(), name.c_str(), kLookOnly)); present) {
    if (::fstat(present.get(), &old) != 0) return Errno(errno);
    if (S_ISDIR(old.st_mode)) return Errno(EISDIR);
    // Whatever else has the name (a link, a pipe) is replaced, not followed.
    if (S_ISREG(old.st_mode)) {
      if (const std::error_code refusal = Distrust(old)) return refusal;
      oldFile = true;
    }
  } else if (errno != ENOENT) {
    return Errno(errno);
  }

  const mode_t created = access == FileAccess::OwnerOnly ? 0600 : 0666;
  std::string temporary;
  Descriptor out;
  for (int attempt = 0; !out && attempt < 8; ++attempt) {
    temporary = NameIn(detail::TemporaryBeside(file));
    out = Descriptor(::openat(folder.get(), temporary.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | kNoSurprises, created));
    if (!out && errno != EEXIST) return Errno(errno);
  }
  if (!out) return Errno(EEXIST);

  std::error_code error = GiveAccess(out.get(), access, oldFile ? &old : nullptr);
  if (!error) error = WriteAll(out.get(), bytes);
  if (!error && durable && ::fsync(out.get()) != 0) error = Errno(errno);
  if (!out.Close() && !error) error = Errno(errno);
  if (!error && ::renameat(folder.get(), temporary.c_str(), folder.get(), name.c_str()) != 0) {
    error = Errno(errno);
  }
  if (error) {
    ::unlinkat(folder.get(), temporary.c_str(), 0);
    return error;
  }
  // The rename is in the folder's entries; without this a power cut may still
  // bring back the old file.
  if (durable) ::fsync(folder.get());
  return {};
}

OutputFile::OutputFile(const fs::path& file) {
  Descriptor folder;
  if (OpenFolder(FolderOf(file), folder)) return;
  // Emptied only once it is known to be ours: O_TRUNC would empty whatever
  // another name of it is.
  Descriptor fd(
      ::openat(folder.get(), NameIn(file).c_str(), O_WRONLY | O_CREAT | kNoSurprises, 0666));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0 || Distrust(info) || ::ftruncate(fd.get(), 0) != 0) {
    return;
  }
  handle_ = fd.release();
  good_ = true;
}

OutputFile::~OutputFile() {
  if (handle_ != kNone) ::close(static_cast<int>(handle_));
}

void OutputFile::Write(std::string_view bytes) {
  if (good_) good_ = !WriteAll(static_cast<int>(handle_), bytes);
}

std::error_code CheckFolder(const fs::path& directory) {
  Descriptor folder;
  return OpenFolder(directory, folder);
}

bool CanCreateFilesIn(const fs::path& directory) {
  Descriptor folder;
  if (OpenFolder(directory, folder)) return false;
  const std::string probe = NameIn(detail::TemporaryBeside(directory / "probe"));
  Descriptor made(
      ::openat(folder.get(), probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | kNoSurprises, 0600));
  if (!made) return false;
  ::unlinkat(folder.get(), probe.c_str(), 0);
  return true;
}

FileLock::FileLock(const fs::path& file, Clock& clock, uint32_t waitMs,
                   const std::function<bool()>& giveUp) {
  Descriptor folder;
  if (const std::error_code error = OpenFolder(FolderOf(file), folder)) {
    reason_ = error.message();
    return;
  }
  const std::string name = NameIn(file);
  // Nobody reads or writes the file; as root's it is nobody else's to open,
  // and so nobody else's to hold against root.
  Descriptor fd(
      ::openat(folder.get(), name.c_str(), O_RDWR | O_CREAT | kNoSurprises, Root() ? 0600 : 0666));
  // Another user's lock file in a shared folder: flock needs no write access.
  if (!fd && errno == EACCES)
    fd = Descriptor(::openat(folder.get(), name.c_str(), O_RDONLY | kNoSurprises));
  std::error_code error;
  struct stat info {};
  if (!fd) {
    error = Errno(errno);
  } else if (::fstat(fd.get(), &info) != 0) {
    error = Errno(errno);
  } else {
    error = Distrust(info);
  }
  if (error) {
    struct stat there {};
    taken_ = ::fstatat(folder.get(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0;
    reason_ = error.message();
    return;
  }
  const uint64_t start = clock.TickMs();
  for (;;) {
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
      handle_ = fd.release();
      return;
    }
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      reason_ = Errno(errno).message();
      return;
    }
    if (giveUp() || clock.TickMs() - start >= waitMs) {
      taken_ = true;
      reason_ = "held by another program";
      return;
    }
    clock.SleepMs(detail::kLockRetryMs);
  }
}

FileLock::~FileLock() {
  if (Held()) ::close(static_cast<int>(handle_));
}

}  // namespace px
