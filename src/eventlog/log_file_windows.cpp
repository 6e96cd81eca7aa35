#include <windows.h>

#include <array>
#include <string>

#include "eventlog/log_file_system.h"

namespace px::detail {

std::string SystemUserName() {
  std::array<char, 257> name{};
  DWORD size = static_cast<DWORD>(name.size());
  if (!GetUserNameA(name.data(), &size) || size == 0) return {};
  return std::string(name.data(), size - 1);
}

LogPlace ThisLogPlace(const std::filesystem::path& programDirectory) {
  LogPlace place;
  place.programDirectory = programDirectory;
  place.programDirectoryOwn = true;
  return place;
}

}  // namespace px::detail
