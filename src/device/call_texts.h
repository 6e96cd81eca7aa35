#pragma once

#include <string>

#include "device/recorded_calls.h"

// What a replay says when it stops, for people. Matching is recorded_calls'
// business; these only put into words what it found.
namespace px {

// What a call asks: "READ(10) of LBA 0x11 on drive 1".
std::string Describe(const RecordedCall& call);
// Why `came` is not `expected`: both described, and where they describe
// alike, the argument that differs.
std::string DescribeDifference(const RecordedCall& expected, const RecordedCall& came);

}  // namespace px
