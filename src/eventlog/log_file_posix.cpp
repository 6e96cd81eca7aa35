#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/files.h"
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

LogPlace ThisLogPlace(const std::filesystem::path& programDirectory) {
  LogPlace place;
  place.programDirectory = programDirectory;
  place.root = ::geteuid() == 0;
  struct stat folder {};
  place.programDirectoryOwn = !place.root && ::stat(programDirectory.c_str(), &folder) == 0 &&
                              folder.st_uid == ::geteuid() && CanCreateFilesIn(programDirectory);
  const char* xdgStateHome = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  place.stateDirectory = UserStateDirectory(xdgStateHome ? xdgStateHome : "", home ? home : "");
  return place;
}

}  // namespace px::detail
