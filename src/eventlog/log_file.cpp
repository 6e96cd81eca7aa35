#include "eventlog/log_file.h"

#include <system_error>
#include <utility>

#include "common/text.h"
#include "eventlog/log_file_system.h"

namespace px {

namespace fs = std::filesystem;

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
    if (text[end] == '\r' && start < text.size() && text[start] == '\n') ++start;
  }
  return lines;
}

namespace {

std::string JoinLogLines(std::span<const std::string> lines) {
  std::size_t size = 0;
  for (const auto& line : lines) size += line.size() + 2;
  std::string bytes;
  bytes.reserve(size);
  for (const auto& line : lines) {
    bytes += line;
    bytes += "\r\n";
  }
  return bytes;
}

}  // namespace

LogFileRead ReadLogFile(const fs::path& file, ReadFor purpose) {
  const FileContent content = ReadWholeFile(file, purpose);
  return {content.outcome, SplitLines(content.bytes), content.error};
}

bool ReplaceLogFile(const fs::path& file, std::span<const std::string> lines, FileAccess access) {
  return !ReplaceFileBytes(file, JoinLogLines(lines), access, true);
}

std::optional<std::vector<std::string>> ReadLogLines(const fs::path& file) {
  LogFileRead read = ReadLogFile(file, ReadFor::Showing);
  if (read.outcome != LogFileRead::Outcome::Read) return std::nullopt;
  return std::move(read.lines);
}

fs::path OwnLogFile(const fs::path& dayFile, std::string_view user) {
  fs::path own = dayFile.parent_path() / dayFile.stem();
  own += "-";
  own += fs::path(user);
  own += dayFile.extension();
  return own;
}

bool IsOwnLogFile(const fs::path& file, std::string_view user) {
  std::string suffix = "-";
  suffix += user;
  const std::string stem = PathText(file.stem());
  return stem.size() > suffix.size() && stem.ends_with(suffix);
}

fs::path OwnLockFile(const fs::path& directory, std::string_view user) {
  std::string name = "pxlog-";
  name += user;
  name += ".lock";
  return directory / fs::path(name);
}

std::string LogUserName() {
  std::string name = detail::SystemUserName();
  for (char& c : name) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '-' || c == '_';
    if (!safe) c = '_';
  }
  // A name of dots alone would read as a folder.
  if (name.find_first_not_of('.') == std::string::npos) name = "user";
  return name;
}

std::filesystem::path UserStateDirectory(std::string_view xdgStateHome, std::string_view home) {
  if (!xdgStateHome.empty() && fs::path(xdgStateHome).is_absolute())
    return fs::path(xdgStateHome) / "pxgui";
  if (!home.empty() && fs::path(home).is_absolute())
    return fs::path(home) / ".local" / "state" / "pxgui";
  return {};
}

namespace {

// Where the system's programs are installed, which no log goes into.
bool InSystemFolder(const fs::path& directory) {
  const fs::path normal = directory.lexically_normal();
  if (!normal.has_root_directory() || normal.relative_path().empty()) return false;
  const fs::path top = *normal.relative_path().begin();
  return top == "usr" || top == "opt";
}

}  // namespace

fs::path LogDirectoryFor(const LogPlace& place) {
  if (place.root) return kSystemLogDirectory;
  const bool systemFolder = InSystemFolder(place.programDirectory);
  if (place.programDirectoryOwn && !systemFolder) return place.programDirectory;
  if (!place.stateDirectory.empty()) return place.stateDirectory;
  return systemFolder ? fs::path() : place.programDirectory;
}

fs::path ChooseLogDirectory(const fs::path& programDirectory) {
  const LogPlace place = detail::ThisLogPlace(programDirectory);
  const fs::path chosen = LogDirectoryFor(place);
  if (chosen.empty() || chosen == programDirectory) return chosen;
  std::error_code error;
  // Root's log folder is readable by root alone until the service gives it
  // to its group.
  if (fs::create_directories(chosen, error) && place.root) {
    fs::permissions(chosen, fs::perms::owner_all, error);
  }
  return chosen;
}

}  // namespace px
