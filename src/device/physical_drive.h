#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace px {

// Physical drives are numbered 0-9: a device-table entry has four bits for
// the number, and the controller's own tools never looked further.
inline constexpr std::size_t kPhysicalDrives = 10;

// A physical drive, by the number the host's inventory gives it. It is made
// from a number only on purpose, and kept as that number from the command
// line to the transport; only device access turns it into a selector, and
// only the places that keep it in a byte (a device-table entry, a record,
// a recording) turn it back into one.
class PhysicalDrive {
 public:
  constexpr explicit PhysicalDrive(uint32_t number) : number_(number) {}

  // Drive n when it is one of the drives the program looks at; nothing for
  // any other number.
  static constexpr std::optional<PhysicalDrive> FromNumber(int64_t n) {
    if (n < 0 || n >= static_cast<int64_t>(kPhysicalDrives)) return std::nullopt;
    return PhysicalDrive(static_cast<uint32_t>(n));
  }
  // The last drive the program looks at, for the texts that name the range.
  static constexpr uint32_t kLast = static_cast<uint32_t>(kPhysicalDrives) - 1;

  constexpr uint32_t number() const { return number_; }
  // Whether the program looks at this drive. A device-table entry has room
  // for more, and a selector names drives up to 66.
  constexpr bool InRange() const { return number_ < kPhysicalDrives; }

  friend constexpr auto operator<=>(const PhysicalDrive&, const PhysicalDrive&) = default;

 private:
  uint32_t number_;
};

}  // namespace px
