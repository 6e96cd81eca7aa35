#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace px {

// Log files are 8-bit text. Lines end in CR LF when we write them, but files
// edited or copied elsewhere may end them in CR or LF alone, so reading
// accepts all three. A final line break does not start another line.
std::vector<std::string> SplitLines(std::string_view text);

// What reading a log file found. A file that is there but cannot be read is
// not a missing one: it holds someone's lines, and must never be replaced by
// a log that lacks them.
struct LogFileRead {
  enum class Outcome { Read, Missing, Unreadable };
  Outcome outcome = Outcome::Missing;
  std::vector<std::string> lines;
  // Why it could not be read, in the system's words.
  std::string reason;
};

LogFileRead ReadLogFile(const std::filesystem::path& file);

// The lines of a log file; nothing when it is missing or cannot be read.
std::optional<std::vector<std::string>> ReadLogLines(const std::filesystem::path& file);

// Several programs may log into one folder (the window and pxraid monitor
// share the user's state directory once installed). Each takes this lock from
// reading a day's file to replacing it, so that none puts a copy in place
// that lacks another's newest lines. It is an exclusive lock on the file
// kLogLockName in the folder, held until the object is destroyed; waiting for
// it is short, as nobody holds it for more than a read and a write.
class LogFolderLock {
 public:
  explicit LogFolderLock(const std::filesystem::path& directory);
  ~LogFolderLock();
  LogFolderLock(const LogFolderLock&) = delete;
  LogFolderLock& operator=(const LogFolderLock&) = delete;

  // False when the lock file could not be opened or locked (a folder that is
  // missing or read-only): the folder's logs may be read but not replaced.
  bool Held() const { return handle_ != kNone; }

 private:
  static constexpr std::intptr_t kNone = -1;
  // A file descriptor, or a Windows handle.
  std::intptr_t handle_ = kNone;
};

inline constexpr char kLogLockName[] = "pxlog.lock";

// Writes every line followed by CR LF into a temporary file of a name no
// other writer uses, flushes it to the disk, gives it the old file's mode and
// (where the system permits) owner, and puts it in place of the old file in
// one rename, whose folder entry is flushed too. A crash or a power cut at
// any point leaves either the old file or the new one, complete. On failure
// the old file is untouched, no temporary file is left behind and the result
// is false.
bool ReplaceLogFile(const std::filesystem::path& file, std::span<const std::string> lines);

// The file a user's lines go to on a day whose file they cannot read (another
// user's, say): "261207.log" becomes "261207-ann.log" beside it.
std::filesystem::path OwnLogFile(const std::filesystem::path& dayFile, std::string_view user);

// The user this program runs as, reduced to letters, digits, '.', '-' and
// '_' so that it is safe in a file name.
std::string LogUserName();

// Where the day's logs go: the program's own directory when we may write
// there. A program installed system-wide on Linux may not, so it then logs to
// the user's state directory, which is created on first use.
std::filesystem::path ChooseLogDirectory(const std::filesystem::path& programDirectory);

// The user's state directory for this program: $XDG_STATE_HOME/pxgui, or
// ~/.local/state/pxgui when that is unset, empty or not absolute. Empty when
// neither variable gives an absolute directory.
std::filesystem::path UserStateDirectory(std::string_view xdgStateHome, std::string_view home);

}  // namespace px
