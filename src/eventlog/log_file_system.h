#pragma once

// What log_file.cpp needs from the system, implemented once per platform
// (log_file_posix.cpp, log_file_windows.cpp).

#include <filesystem>
#include <span>
#include <string>

namespace px::detail {

// The login name of the user this program runs as, as the system gives it;
// empty when it cannot tell.
std::string SystemUserName();

// A name beside the file that no other writer, in this process or another,
// on this machine or another sharing the folder, will pick at the same time.
std::filesystem::path TemporaryLogName(const std::filesystem::path& file);

// The bytes of a log file: every line followed by CR LF.
std::string JoinLogLines(std::span<const std::string> lines);

}  // namespace px::detail
