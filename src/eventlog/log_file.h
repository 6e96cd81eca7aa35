#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/files.h"

namespace px {

// Log files are 8-bit text. Lines end in CR LF when we write them, but files
// edited or copied elsewhere may end them in CR or LF alone, so reading
// accepts all three. A final line break does not start another line.
std::vector<std::string> SplitLines(std::string_view text);

// What reading a log file found. A file that is there but cannot be read is
// not a missing one: it holds someone's lines, and must never be replaced by
// a log that lacks them.
struct LogFileRead {
  using Outcome = FileContent::Outcome;
  Outcome outcome = Outcome::Missing;
  std::vector<std::string> lines;
  // Why it could not be read.
  std::error_code error;
};

// Reads a log file as ReadWholeFile does: to keep its lines unless told they
// are only shown.
LogFileRead ReadLogFile(const std::filesystem::path& file, ReadFor purpose = ReadFor::Keeping);

// The lines of a log file to show; nothing when it is missing or cannot be
// read.
std::optional<std::vector<std::string>> ReadLogLines(const std::filesystem::path& file);

// Several programs may log into one folder (the window and pxraid monitor
// share the user's state directory once installed, root's programs the
// system's log folder). Each takes an exclusive lock on the file kLogLockName
// in the folder from reading a day's file to replacing it, so that none puts
// a copy in place that lacks another's newest lines. Nobody holds it for more
// than a read and a write, so a lock held for longer than kLogLockWaitMs is
// held on purpose, and not waited for: the user's lines then go to their own
// file of the day, under their own lock (OwnLockFile).
inline constexpr char kLogLockName[] = "pxlog.lock";
// As long as a drive another program holds is waited for.
inline constexpr uint32_t kLogLockWaitMs = 3000;

// Writes every line followed by CR LF in the place of `file`, flushed to the
// disk, as ReplaceFileBytes does: a log keeps the access of the file it replaces;
// a file of lines that holds serial numbers alone (the pacing of mail) is
// FileAccess::OwnerOnly. False on failure, with the old file untouched.
bool ReplaceLogFile(const std::filesystem::path& file, std::span<const std::string> lines,
                    FileAccess access = FileAccess::AsBefore);

// The file a user's lines go to on a day whose file they cannot read (another
// user's, say) or whose folder's lock another program keeps: "261207.log"
// becomes "261207-ann.log" beside it.
std::filesystem::path OwnLogFile(const std::filesystem::path& dayFile, std::string_view user);

// Whether `file` is one of the user's own files of a day (OwnLogFile).
bool IsOwnLogFile(const std::filesystem::path& file, std::string_view user);

// The lock of the user's own files in `directory`: "pxlog-ann.lock".
std::filesystem::path OwnLockFile(const std::filesystem::path& directory, std::string_view user);

// The user this program runs as, reduced to letters, digits, '.', '-' and
// '_' so that it is safe in a file name.
std::string LogUserName();

// The system's log folder, where root's programs log (the service's).
inline constexpr char kSystemLogDirectory[] = "/var/log/pxraid";

// What the choice of a log folder goes by.
struct LogPlace {
  // The folder of the program's executable.
  std::filesystem::path programDirectory;
  // It is the user's own: theirs, and they may make files in it.
  bool programDirectoryOwn = false;
  bool root = false;
  // The user's state directory (UserStateDirectory); empty when there is none.
  std::filesystem::path stateDirectory;
};

// Where the day's logs go. Root logs where the service does, in
// kSystemLogDirectory, whatever the program's folder. Anyone else logs beside
// the program when that folder is their own, as the window always has, but
// never in a system folder (under /usr or /opt); else in their state
// directory, or beside the program when they have none. Empty when nothing is
// left (a system folder, and no state directory).
std::filesystem::path LogDirectoryFor(const LogPlace& place);

// LogDirectoryFor this process, with the chosen folder made when it is not
// the program's. On Windows the log is beside the program, as it always was.
std::filesystem::path ChooseLogDirectory(const std::filesystem::path& programDirectory);

// The user's state directory for this program: $XDG_STATE_HOME/pxgui, or
// ~/.local/state/pxgui when that is unset, empty or not absolute. Empty when
// neither variable gives an absolute directory.
std::filesystem::path UserStateDirectory(std::string_view xdgStateHome, std::string_view home);

}  // namespace px
