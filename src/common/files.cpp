#include "common/files.h"

#include <random>
#include <string>

#include "common/files_system.h"
#include "common/text.h"

namespace px {

namespace {

class FileRefusalCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "px file"; }
  std::string message(int refusal) const override {
    switch (static_cast<FileRefusal>(refusal)) {
      case FileRefusal::OpenFolder:
        return "the folder may be written by other users and is not sticky";
      case FileRefusal::OthersFile:
        return "owned by another user";
      case FileRefusal::OtherNames:
        return "the file has another name too (a hard link)";
      case FileRefusal::Link:
        return "a symbolic link, which is not followed";
      case FileRefusal::NotAFile:
        return "not a regular file";
    }
    return "refused";
  }
};

}  // namespace

std::error_code make_error_code(FileRefusal refusal) {
  static const FileRefusalCategory category;
  return {static_cast<int>(refusal), category};
}

namespace detail {

std::filesystem::path TemporaryBeside(const std::filesystem::path& file) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  // Built by appending: GCC 12 warns falsely (-Wrestrict) about a literal
  // prepended to a temporary string.
  std::string suffix = ".";
  suffix += HexUpper(random(), 16);
  suffix += ".tmp";
  std::filesystem::path name(".");
  name += file.filename();
  name += suffix;
  std::filesystem::path temporary = file;
  temporary.replace_filename(name);
  return temporary;
}

}  // namespace detail

}  // namespace px
