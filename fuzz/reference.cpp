#include "reference.h"

#include <algorithm>
#include <string_view>

namespace px::fuzz::ref {

uint32_t Crc32(std::span<const uint8_t> bytes) {
  uint32_t crc = 0xFFFFFFFF;
  for (const uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1U) != 0 ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
  }
  return ~crc;
}

uint64_t BigEndian(std::span<const uint8_t> bytes) {
  uint64_t value = 0;
  for (const uint8_t b : bytes) value = value << 8 | b;
  return value;
}

uint64_t LittleEndian(std::span<const uint8_t> bytes) {
  uint64_t value = 0;
  for (auto b = bytes.rbegin(); b != bytes.rend(); ++b) value = value << 8 | *b;
  return value;
}

uint8_t ModeCode(uint8_t raw) {
  if (raw == 0) return 3;  // JBOD
  if (raw == 1) return 0;  // Striping
  if (raw == 2) return 1;  // Mirror
  return 63;               // Bypass
}

uint8_t ClassBit(uint8_t state) {
  if (state == 0 || state == 1) return 0x02;
  if (state == 6) return 0x01;
  if (state == 9) return 0x08;
  return 0x04;
}

void DecodeStatus(std::span<const uint8_t, 512> reply, uint8_t configByte49, Copy copy,
                  Sector& record) {
  record[57] = ModeCode(reply[80]);
  const bool p0First = (configByte49 & 0x10) != 0;
  struct Member {
    std::size_t from;      // port record in the reply
    std::size_t state;     // record offsets
    std::size_t model;     // 40 bytes
    std::size_t serial;    // 20 bytes
    std::size_t capacity;  // 6 bytes, little-endian
    unsigned shift;        // PortFlags half
    uint8_t rebuildBit;
  };
  const Member members[] = {{p0First ? 84U : 160U, 30, 256, 58, 296, 0, 0x01},
                            {p0First ? 160U : 84U, 31, 302, 78, 342, 4, 0x02}};
  uint8_t portFlags = 0;
  uint8_t progressFlags = 0;
  for (const Member& m : members) {
    const uint8_t state = reply[m.from];
    record[m.state] = state;
    const uint8_t cls = ClassBit(state);
    portFlags = static_cast<uint8_t>(portFlags | cls << m.shift);
    if (state == 1) progressFlags |= m.rebuildBit;
    const bool copies = copy == Copy::Poll ? cls != 0x04 : (cls == 0x02 || cls == 0x08);
    if (copies) {
      std::copy_n(reply.begin() + static_cast<std::ptrdiff_t>(m.from + 4), 40,
                  record.begin() + static_cast<std::ptrdiff_t>(m.model));
      std::copy_n(reply.begin() + static_cast<std::ptrdiff_t>(m.from + 44), 20,
                  record.begin() + static_cast<std::ptrdiff_t>(m.serial));
      for (std::size_t i = 0; i < 6; ++i) record[m.capacity + i] = reply[m.from + 75 - i];
    } else if (copy == Copy::Discovery) {
      std::fill_n(record.begin() + static_cast<std::ptrdiff_t>(m.model), 40, uint8_t{' '});
      std::fill_n(record.begin() + static_cast<std::ptrdiff_t>(m.serial), 20, uint8_t{' '});
      std::fill_n(record.begin() + static_cast<std::ptrdiff_t>(m.capacity), 6, uint8_t{0});
    }
  }
  record[104] = portFlags;
  record[105] = progressFlags;
}

std::optional<uint8_t> Percent(uint64_t current, uint64_t total) {
  if (total == 0) return 0;
  if (current > total) return std::nullopt;
  return static_cast<uint8_t>(current * 100 / total);
}

Progress ProgressOf(std::span<const uint8_t, 512> reply) {
  return {reply[84] == 2, BigEndian(reply.subspan(94, 6)), BigEndian(reply.subspan(119, 5))};
}

bool EnclosureProduct(std::span<const uint8_t, 512> identity) {
  return identity[93] == 0 && (identity[92] == 0x50 || identity[92] == 0x05);
}

bool KeptInRecording(uint8_t operationCode, std::span<const uint8_t> data) {
  if (operationCode != 0x28) return true;
  if (data.size() != 512) return false;
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  return text.substr(0, 16) == "__ZEPHLIN4471C__" || text.substr(496, 16) == "__SATA6GRAID01__";
}

}  // namespace px::fuzz::ref
