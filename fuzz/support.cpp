#include "support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

namespace px::fuzz {

uint8_t Input::Byte() {
  return empty() ? 0 : data_[at_++];
}

uint16_t Input::U16() {
  const unsigned high = Byte();
  return static_cast<uint16_t>(high << 8 | Byte());
}

uint32_t Input::U32() {
  const uint32_t high = U16();
  return high << 16 | U16();
}

uint64_t Input::U48() {
  const uint64_t high = U16();
  return high << 32 | U32();
}

std::span<const uint8_t> Input::Bytes(std::size_t n) {
  const std::size_t take = std::min(n, left());
  const std::span<const uint8_t> bytes = data_.subspan(at_, take);
  at_ += take;
  return bytes;
}

std::string Input::Text(std::size_t maxLength) {
  const std::span<const uint8_t> bytes = Bytes(std::min<std::size_t>(Byte(), maxLength));
  return {bytes.begin(), bytes.end()};
}

std::span<const uint8_t> Input::Rest() {
  return Bytes(left());
}

void Fail(std::string_view what) {
  std::fprintf(stderr, "\n*** wrong answer: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

namespace {

struct Scratch {
  Scratch() {
    path = std::filesystem::temp_directory_path() / ("pxfuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::filesystem::path path;
};

}  // namespace

const std::filesystem::path& ScratchFolder() {
  static const Scratch scratch;
  return scratch.path;
}

void WriteFile(const std::filesystem::path& file, std::span<const uint8_t> bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  Expect(out.good(), "the harness could not write " + file.string());
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Hex(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (const uint8_t b : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

}  // namespace px::fuzz
