#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Where the history lives and what its folder must be. The service keeps it
// as root, so its folder is taken only when no other user can change what a
// name in it, or in any folder above it, points to.

namespace px::history {

inline constexpr char kHistoryFileName[] = "history.sqlite";
// The service's; a program without it keeps kHistoryFileName in the user's
// state folder, beside the log.
inline constexpr char kServiceHistoryFile[] = "/var/lib/pxraid/history.sqlite";

// `folder` made ready to hold the history: its missing folders created
// (mode 0755, less the umask), links resolved, and every folder on the way
// owned by root or by us and writable by no one else, a user's own group
// apart (above it, a folder that others may write keeps their hands off our
// entries only when it is sticky, as /tmp is). The folder itself must be
// ours. Nothing, and `why` set, when it is not so.
std::optional<std::filesystem::path> PrepareFolder(const std::filesystem::path& folder,
                                                   std::string& why);

// The one writer's claim on a history file: an exclusive lock on
// "<file>.lock", which only its owner may open, taken without waiting.
class WriterLock {
 public:
  // Nothing, and `why` set, when another program holds it or it cannot be had.
  static std::optional<WriterLock> Take(const std::filesystem::path& file, std::string& why);
  ~WriterLock();
  WriterLock(WriterLock&& other) noexcept;
  WriterLock& operator=(WriterLock&& other) noexcept;
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  explicit WriterLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// Moves the history out of the way, with its write-ahead log, under a name
// that says why and replaces nothing: "history-corrupt.sqlite", then
// "history-corrupt-2.sqlite". Returns the new name, or nothing and `why`.
std::optional<std::filesystem::path> SetAside(const std::filesystem::path& file,
                                              std::string_view label, std::string& why);

}  // namespace px::history
