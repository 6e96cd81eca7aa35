#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "eventlog/log_time.h"

namespace px::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end of the test. The random part keeps parallel
// runs of the same test (two build presets at once) apart.
class TempDir {
 public:
  TempDir() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("pxlog-" + std::to_string(random()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

  // Names of everything in the directory, sorted.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::filesystem::path path_;
};

// yyyy/mm/dd and hh:mm:ss, whatever the machine's locale.
class FixedFormat final : public DateTimeFormat {
 public:
  std::string ShortDate(const LogTime& t) const override {
    return std::to_string(t.year) + "/" + Two(t.month) + "/" + Two(t.day);
  }
  std::string LongTime(const LogTime& t) const override {
    return Two(t.hour) + ":" + Two(t.minute) + ":" + Two(t.second);
  }

 private:
  static std::string Two(int v) {
    return {static_cast<char>('0' + v / 10), static_cast<char>('0' + v % 10)};
  }
};

inline std::string ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Lines as the log file holds them.
inline std::string CrLfJoined(const std::vector<std::string>& lines) {
  std::string bytes;
  for (const auto& line : lines) bytes += line + "\r\n";
  return bytes;
}

}  // namespace px::test
