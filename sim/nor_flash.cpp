#include "sim/nor_flash.h"

#include <algorithm>

namespace px::sim {
namespace {

std::size_t WholeBlocks(std::size_t size) {
  const std::size_t blocks = (size + NorFlash::kBlockSize - 1) / NorFlash::kBlockSize;
  return std::max<std::size_t>(blocks, 1) * NorFlash::kBlockSize;
}

}  // namespace

NorFlash::NorFlash(std::size_t size) : bytes_(WholeBlocks(size), 0xFF) {}

void NorFlash::Read(uint32_t address, std::span<uint8_t> out) const {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = bytes_[Wrap(uint64_t{address} + i)];
}

void NorFlash::Program(uint32_t address, std::span<const uint8_t> data) {
  for (std::size_t i = 0; i < data.size(); ++i) bytes_[Wrap(uint64_t{address} + i)] &= data[i];
}

void NorFlash::EraseBlock(uint32_t address) {
  const std::size_t start = Wrap(address) / kBlockSize * kBlockSize;
  std::fill_n(bytes_.begin() + static_cast<std::ptrdiff_t>(start), kBlockSize, uint8_t{0xFF});
}

void NorFlash::Set(uint32_t address, std::span<const uint8_t> data) {
  for (std::size_t i = 0; i < data.size(); ++i) bytes_[Wrap(uint64_t{address} + i)] = data[i];
}

void NorFlash::Reset(std::size_t size) {
  bytes_.assign(WholeBlocks(size), 0xFF);
}

}  // namespace px::sim
