#pragma once

// What log_file.cpp needs from the system, implemented once per platform
// (log_file_posix.cpp, log_file_windows.cpp).

#include <filesystem>
#include <string>

#include "eventlog/log_file.h"

namespace px::detail {

// The login name of the user this program runs as, as the system gives it;
// empty when it cannot tell.
std::string SystemUserName();

// The facts of this process that ChooseLogDirectory goes by.
LogPlace ThisLogPlace(const std::filesystem::path& programDirectory);

}  // namespace px::detail
