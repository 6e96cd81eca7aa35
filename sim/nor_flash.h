#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace px::sim {

// The controller's SPI flash, behaving like NOR: erase sets a whole 4096-byte
// block to 0xFF, programming can only clear bits (new = old AND data).
// Addresses wrap at the flash size, as a chip ignores the address bits above
// its size. Not thread-safe; its owner locks.
class NorFlash {
 public:
  static constexpr std::size_t kBlockSize = 4096;
  static constexpr std::size_t kDefaultSize = 128 * 1024;

  // size: a non-zero multiple of 4096 (rounded up to one otherwise).
  explicit NorFlash(std::size_t size = kDefaultSize);

  std::size_t size() const { return bytes_.size(); }
  void Read(uint32_t address, std::span<uint8_t> out) const;
  void Program(uint32_t address, std::span<const uint8_t> data);
  // Erases the 4096-byte block that holds the address.
  void EraseBlock(uint32_t address);
  // Test access: sets bytes as they are, bypassing NOR rules.
  void Set(uint32_t address, std::span<const uint8_t> data);
  // All 0xFF again, at a new size.
  void Reset(std::size_t size);
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::size_t Wrap(uint64_t address) const {
    return static_cast<std::size_t>(address % bytes_.size());
  }
  std::vector<uint8_t> bytes_;
};

}  // namespace px::sim
