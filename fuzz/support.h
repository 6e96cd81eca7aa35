#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// What every fuzz target shares: reading its input field by field, failing
// loudly when the program's answer is wrong, and a folder for files.

namespace px::fuzz {

// A fuzz input read from the front, one field after the other. Past its end
// every field reads as zero (or empty), so any input is a whole case and the
// seeds can be written by hand: fields in order, numbers most significant
// byte first.
class Input {
 public:
  Input(const uint8_t* data, std::size_t size) : data_(data, size) {}

  bool empty() const { return at_ >= data_.size(); }
  std::size_t left() const { return data_.size() - at_; }

  uint8_t Byte();
  bool Flag() { return (Byte() & 1U) != 0; }
  uint16_t U16();
  uint32_t U32();
  uint64_t U48();
  // Up to n bytes, fewer at the end of the input.
  std::span<const uint8_t> Bytes(std::size_t n);
  // A length byte, then that many bytes (at most maxLength).
  std::string Text(std::size_t maxLength = 255);
  // Everything not read yet.
  std::span<const uint8_t> Rest();

 private:
  std::span<const uint8_t> data_;
  std::size_t at_ = 0;
};

// The program gave a wrong answer: says what, and aborts, which libFuzzer
// reports as a crash and keeps the input that led to it.
[[noreturn]] void Fail(std::string_view what);

inline void Expect(bool holds, std::string_view what) {
  if (!holds) Fail(what);
}

// A folder of this process's own under the temporary folder ($TMPDIR),
// created on first use and removed at exit.
const std::filesystem::path& ScratchFolder();

void WriteFile(const std::filesystem::path& file, std::span<const uint8_t> bytes);
std::vector<uint8_t> ReadFile(const std::filesystem::path& file);

// Bytes shown as hex, for failure messages.
std::string Hex(std::span<const uint8_t> bytes);

}  // namespace px::fuzz
