#pragma once

// What log_file.cpp needs from the system, implemented once per platform
// (log_file_posix.cpp, log_file_windows.cpp).

#include <string>

namespace px::detail {

// The login name of the user this program runs as, as the system gives it;
// empty when it cannot tell.
std::string SystemUserName();

}  // namespace px::detail
