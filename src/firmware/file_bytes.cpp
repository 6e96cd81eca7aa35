#include "firmware/file_bytes.h"

#include <fstream>

namespace px {

std::optional<std::vector<uint8_t>> ReadFirmwareSource(const std::filesystem::path& path,
                                                       Messages& messages) {
  // The size comes from the file system rather than from seeking: a folder
  // or a device "opens" as a stream of unknown length, and is no file.
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  std::ifstream in(path, std::ios::binary);
  if (error || !in) {
    messages.Show("Error", "Fail to open firmware file", MessageIcon::Error);
    return std::nullopt;
  }
  std::vector<uint8_t> bytes(static_cast<std::size_t>(size));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  const auto got = static_cast<std::size_t>(in.gcount());
  if (got != bytes.size()) {
    messages.Show(
        "GetASPISupportInfo:", "Error read from Source file. ByteCount = " + std::to_string(got),
        MessageIcon::Error);
    return std::nullopt;
  }
  return bytes;
}

}  // namespace px
