#include "firmware/file_bytes.h"

#include <cerrno>
#include <fstream>
#include <ios>
#include <string>

namespace px {

namespace fs = std::filesystem;

namespace {

void Tell(std::error_code* reason, std::error_code error) {
  if (reason != nullptr) *reason = error;
}

// Why `path` cannot be read as a file, from the file system: a folder or a
// device "opens" as a stream of unknown length, and is no firmware file.
std::error_code NotAFile(const fs::path& path, std::uintmax_t& size) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error) return error;
  if (fs::is_directory(status)) return std::make_error_code(std::errc::is_a_directory);
  if (!fs::is_regular_file(status)) return std::make_error_code(std::errc::not_supported);
  size = fs::file_size(path, error);
  return error;
}

}  // namespace

std::optional<std::vector<uint8_t>> ReadFirmwareSource(const fs::path& path, Messages& messages,
                                                       std::error_code* reason) {
  std::uintmax_t size = 0;
  std::error_code error = NotAFile(path, size);
  std::filebuf file;
  if (!error) {
    errno = 0;
    if (file.open(path, std::ios::in | std::ios::binary) == nullptr) {
      error = errno != 0 ? std::error_code(errno, std::generic_category())
                         : std::make_error_code(std::errc::io_error);
    }
  }
  if (error) {
    Tell(reason, error);
    messages.Show("Error", "Fail to open firmware file", MessageIcon::Error);
    return std::nullopt;
  }
  if (size > kMaxFirmwareFileSize) {
    messages.Show("Error",
                  "The firmware file is too large: " + std::to_string(size) +
                      " bytes, more than the " + std::to_string(kMaxFirmwareFileSize) +
                      " bytes of flash the controller can address.\nPlease check it.",
                  MessageIcon::Error);
    return std::nullopt;
  }
  return ReadFirmwareBytes(file, static_cast<std::size_t>(size), messages, reason);
}

std::optional<std::vector<uint8_t>> ReadFirmwareBytes(std::streambuf& source, std::size_t size,
                                                      Messages& messages, std::error_code* reason) {
  std::vector<uint8_t> bytes(size);
  std::size_t got = 0;
  // Byte by byte from the buffer: the count is then exact when a refill
  // fails, where a bulk read would lose what it had read before the error.
  try {
    for (; got < size; ++got) {
      const std::streambuf::int_type c = source.sbumpc();
      if (std::streambuf::traits_type::eq_int_type(c, std::streambuf::traits_type::eof())) break;
      bytes[got] = static_cast<uint8_t>(std::streambuf::traits_type::to_char_type(c));
    }
  } catch (const std::ios_base::failure& failure) {
    Tell(reason, failure.code());
  }
  if (got != size) {
    messages.Show(
        "GetASPISupportInfo:", "Error read from Source file. ByteCount = " + std::to_string(got),
        MessageIcon::Error);
    return std::nullopt;
  }
  return bytes;
}

}  // namespace px
