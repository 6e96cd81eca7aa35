#include "service/job_request.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <span>
#include <string_view>

#include "common/text.h"
#include "firmware/file_bytes.h"
#include "firmware/flash_backup.h"
#include "firmware/upgrade.h"

namespace px::service {
namespace {

namespace fs = std::filesystem;

// The longest checksum file text taken: a line of sha256sum's, and more.
constexpr std::size_t kChecksumBytes = 4096;

// The client's file, read whole: a regular file open for reading, no larger
// than a flash's address space. Nothing, with `why`, otherwise.
std::optional<std::vector<uint8_t>> ReadClientFile(int fd, std::string& why) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    why = std::string("the file cannot be looked at: ") + std::strerror(errno);
    return std::nullopt;
  }
  if (!S_ISREG(info.st_mode)) {
    why = "the file given is not a regular file";
    return std::nullopt;
  }
  const int mode = ::fcntl(fd, F_GETFL);
  if (mode < 0 || (mode & O_ACCMODE) == O_WRONLY) {
    why = "the file given is not open for reading";
    return std::nullopt;
  }
  if (static_cast<std::uintmax_t>(info.st_size) > kMaxFirmwareFileSize) {
    why = "the file has " + std::to_string(info.st_size) +
          " bytes, more than the flash's 8 MiB address space";
    return std::nullopt;
  }
  // One byte more than it said it has, to see one that grows meanwhile.
  std::vector<uint8_t> bytes(static_cast<std::size_t>(info.st_size) + 1);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got =
        ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      why = std::string("the file cannot be read: ") + std::strerror(errno);
      return std::nullopt;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  if (done != static_cast<std::size_t>(info.st_size)) {
    why = "the file changed while it was read";
    return std::nullopt;
  }
  bytes.resize(done);
  return bytes;
}

}  // namespace

const char* JobKindName(JobKind kind) {
  switch (kind) {
    case JobKind::Upgrade:
      return "upgrade";
    case JobKind::Restore:
      return "restore";
    case JobKind::Backup:
      return "backup";
  }
  return "";
}

std::string SafeFileName(const std::string& name, const std::string& fallback) {
  std::string kept = fs::path(name).filename().string();
  for (char& c : kept) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '+' || c == '-';
    if (!plain) c = '_';
  }
  if (kept.empty() || kept == "." || kept == ".." || kept.size() > 200) return fallback;
  return kept;
}

std::optional<std::string> DecodeJobRequest(JobKind kind, const std::vector<JobOption>& options,
                                            int fd, JobSpec& spec) {
  if (kind == JobKind::Backup) {
    struct stat info {};
    const int mode = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
      return "the file given is not a regular file";
    if (mode < 0 || (mode & O_ACCMODE) == O_RDONLY) return "the file given is not open for writing";
    if (!options.empty()) return "a backup takes no options";
    return std::nullopt;
  }
  std::string name;
  for (const JobOption& option : options) {
    const bool isBool = option.signature == "b" && std::holds_alternative<bool>(option.value);
    const bool isText =
        option.signature == "s" && std::holds_alternative<std::string>(option.value);
    if ((option.key == "yes" || (option.key == "no-backup" && kind == JobKind::Upgrade)) &&
        isBool) {
      (option.key == "yes" ? spec.yes : spec.noBackup) = std::get<bool>(option.value);
    } else if ((option.key == "name" || (option.key == "checksum" && kind == JobKind::Restore)) &&
               isText) {
      (option.key == "name" ? name : spec.checksum) = std::get<std::string>(option.value);
    } else {
      return "the option " + PrintableUtf8(option.key) + " of type " +
             PrintableUtf8(option.signature) + " is not one " + JobKindName(kind) + " takes";
    }
  }
  if (spec.checksum.size() > kChecksumBytes) return "the checksum is too long";
  std::string why;
  std::optional<std::vector<uint8_t>> bytes = ReadClientFile(fd, why);
  if (!bytes) return why;
  const std::optional<std::string> refusal =
      kind == JobKind::Upgrade ? UpgradeRefusal(*bytes) : RestoreRefusal(*bytes);
  if (refusal) return refusal;
  spec.input = std::move(*bytes);
  spec.inputName = SafeFileName(name, kind == JobKind::Upgrade ? "firmware.bin" : "backup.bin");
  spec.shownAs = PrintableUtf8(name);
  return std::nullopt;
}

}  // namespace px::service
