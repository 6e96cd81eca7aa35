#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>

#include "common/clock.h"

namespace px {

// The program runs as root for the disks' device files, and it writes into
// folders that other users may write too: the node exporter's textfile
// folder, a log folder given on the command line. There a name may be a link
// planted to make root write, create or read a file elsewhere, a file may be
// another user's, and a lock may be held on purpose. Every file the program
// makes, replaces, reads back or locks goes through here, which follows no
// link in the file's own name, takes mode and owner from the file it has
// open (never from what a name leads to a moment later), and does each step
// of one operation in the folder it opened once.

// Why a file or a folder is not used, where it is not the system's reason.
enum class FileRefusal {
  // As root: a folder that users other than its owner may write into and that
  // is not sticky; they could swap or remove anything root puts there.
  OpenFolder = 1,
  // As root: a file that belongs to another user.
  OthersFile,
  // As root: a file that has another name too (a hard link to it).
  OtherNames,
  // A link where the file belongs: it is not followed.
  Link,
  // A pipe, a device or a socket where the file belongs.
  NotAFile,
};

std::error_code make_error_code(FileRefusal refusal);

}  // namespace px

template <>
struct std::is_error_code_enum<px::FileRefusal> : std::true_type {};

namespace px {

// What reading a whole file found. A file that is there but cannot be read is
// not a missing one: it may hold someone's lines.
struct FileContent {
  enum class Outcome { Read, Missing, Unreadable };
  Outcome outcome = Outcome::Missing;
  std::string bytes;
  // Why it could not be read.
  std::error_code error;
};

// What a file is read for.
enum class ReadFor {
  // Its bytes go into a file of ours (a log's lines into the next day's
  // copy) or decide what we do (the pacing of mail): through no link in its
  // name, and as root only a file of root's own with no other name; another
  // user could otherwise have root copy a file they may not read (through a
  // link or a hard link to it) into a file they may.
  Keeping,
  // Its lines are shown to the user who asked for it (pxraid log, the log
  // viewer), and nothing of it is kept: links are followed, as the user would.
  Showing,
};

// Reads the whole of `file`, a regular file only; a pipe under its name does
// not keep the program waiting.
FileContent ReadWholeFile(const std::filesystem::path& file, ReadFor purpose);

// Who may read a file the program makes.
enum class FileAccess {
  // As the file it replaces: its permission bits and group, so that a log the
  // user gave to a group, or made private, stays so. A new file gets what the
  // umask leaves of 0666.
  AsBefore,
  // 0600, whatever the umask or the file it replaces: serial numbers, flash
  // contents.
  OwnerOnly,
  // 0644, whatever the umask: another user's program reads it (the node
  // exporter).
  EveryoneReads,
};

// Puts `bytes` in the place of `file` in one rename: they are written into a
// new file of a random name beside it (never one that is there already),
// which gets its access before the first byte, then, when `durable`, flushed
// to the disk with the rename after it, so that a crash or a power cut leaves
// the old file or the new one, whole. A link in the file's place is replaced,
// not followed. On failure the old file is untouched, nothing is left behind
// and the reason is returned. As root, a folder others may write into that is
// not sticky (CheckFolder) and a file of another user's are refused.
std::error_code ReplaceFileBytes(const std::filesystem::path& file, std::string_view bytes,
                                 FileAccess access, bool durable);

// A file written from its start for as long as the program runs (a session's
// recording, line by line, so that a crash keeps what came before it): made
// when it is not there, emptied when it is, in both cases through no link in
// its name and, as root, only when it is root's own with no other name.
class OutputFile {
 public:
  explicit OutputFile(const std::filesystem::path& file);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opened, and every write so far was taken whole.
  bool Good() const { return good_; }
  // Hands `bytes` to the system at once; after a failure, nothing more.
  void Write(std::string_view bytes);

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;
  bool good_ = false;
};

// Why this program must not make files in `directory`: it cannot be opened as
// a folder, or (as root) others may write into it and it is not sticky.
// Empty when nothing speaks against it.
std::error_code CheckFolder(const std::filesystem::path& directory);

// Whether this user may make files in `directory`, asked of the file system
// by making one and removing it again: permission bits say nothing about
// read-only mounts, ACLs or a missing folder.
bool CanCreateFilesIn(const std::filesystem::path& directory);

// An exclusive lock on `file`, made (as root private to root, so that nobody
// else can even open it) when it is not there, and held until the object is
// destroyed. Another program may hold it: it is waited for on `clock` for up
// to `waitMs`, and no longer once `giveUp` says so (the program is closing or
// was asked to stop), so that no other user can keep this program waiting.
class FileLock {
 public:
  FileLock(const std::filesystem::path& file, Clock& clock, uint32_t waitMs,
           const std::function<bool()>& giveUp);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool Held() const { return handle_ != kNone; }
  // Not held, although the folder itself may take files: another program
  // holds the lock, or something that is not a file we may lock has the
  // lock's name (a link, another user's file, a folder).
  bool Taken() const { return taken_; }
  // Why it is not held, as it reads in brackets after what could not be done.
  const std::string& Reason() const { return reason_; }

 private:
  static constexpr std::intptr_t kNone = -1;
  // A file descriptor, or a Windows handle.
  std::intptr_t handle_ = kNone;
  bool taken_ = false;
  std::string reason_;
};

}  // namespace px
