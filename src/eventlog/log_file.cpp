#include "eventlog/log_file.h"

#include <array>
#include <cstdlib>
#include <fstream>
#include <system_error>

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

std::optional<std::vector<std::string>> ReadLogLines(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  std::array<char, 4096> chunk{};
  while (in.read(chunk.data(), chunk.size()) || in.gcount() > 0)
    text.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
  // A directory opens on some systems and only fails on the first read.
  if (in.bad()) return std::nullopt;
  return SplitLines(text);
}

bool ReplaceLogFile(const fs::path& file, std::span<const std::string> lines) {
  fs::path temporary = file;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    for (const auto& line : lines) out << line << "\r\n";
    out.close();
    if (out) {
      std::error_code error;
      fs::rename(temporary, file, error);
      if (!error) return true;
    }
  }
  std::error_code ignored;
  fs::remove(temporary, ignored);
  return false;
}

std::filesystem::path UserStateDirectory(std::string_view xdgStateHome, std::string_view home) {
  if (!xdgStateHome.empty() && fs::path(xdgStateHome).is_absolute())
    return fs::path(xdgStateHome) / "pxgui";
  if (!home.empty() && fs::path(home).is_absolute())
    return fs::path(home) / ".local" / "state" / "pxgui";
  return {};
}

#ifndef _WIN32
namespace {

// Asking the file system is the only reliable test: permission bits say
// nothing about read-only mounts, ACLs or a missing directory.
bool CanWriteIn(const fs::path& directory) {
  const fs::path probe = directory / ".pxgui-write-probe";
  bool writable = false;
  {
    std::ofstream out(probe, std::ios::binary | std::ios::trunc);
    writable = out.is_open();
  }
  std::error_code ignored;
  if (writable) fs::remove(probe, ignored);
  return writable;
}

}  // namespace
#endif

fs::path ChooseLogDirectory(const fs::path& programDirectory) {
#ifndef _WIN32
  if (!CanWriteIn(programDirectory)) {
    const char* xdgStateHome = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    const fs::path state = UserStateDirectory(xdgStateHome ? xdgStateHome : "", home ? home : "");
    if (!state.empty()) {
      std::error_code error;
      fs::create_directories(state, error);
      if (!error) return state;
    }
  }
#endif
  return programDirectory;
}

}  // namespace px
