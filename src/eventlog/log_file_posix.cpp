#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "eventlog/log_file_system.h"

namespace px::detail {

std::string SystemUserName() {
  std::vector<char> buffer(4096);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return found->pw_name;
  // No entry for us (a container, say): the number still names us.
  return std::to_string(::geteuid());
}

}  // namespace px::detail
