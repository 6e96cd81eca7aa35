#pragma once

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

// The lines of a log file; nothing when it cannot be read.
std::optional<std::vector<std::string>> ReadLogLines(const std::filesystem::path& file);

// Writes every line followed by CR LF and puts the result in place of the old
// file in one rename, so that a crash mid-write leaves yesterday's full file
// rather than a truncated one. On failure the old file is untouched, no
// temporary file is left behind and the result is false.
bool ReplaceLogFile(const std::filesystem::path& file, std::span<const std::string> lines);

// Where the day's logs go: the program's own directory when we may write
// there. A program installed system-wide on Linux may not, so it then logs to
// the user's state directory, which is created on first use.
std::filesystem::path ChooseLogDirectory(const std::filesystem::path& programDirectory);

// The user's state directory for this program: $XDG_STATE_HOME/pxgui, or
// ~/.local/state/pxgui when that is unset, empty or not absolute. Empty when
// neither variable gives an absolute directory.
std::filesystem::path UserStateDirectory(std::string_view xdgStateHome, std::string_view home);

}  // namespace px
