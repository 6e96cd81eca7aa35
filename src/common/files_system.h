#pragma once

// What files_posix.cpp and files_windows.cpp share.

#include <cstdint>
#include <filesystem>

namespace px::detail {

// A name beside `file`, hidden where a leading dot hides, that no other
// writer, in this process or another, on this machine or another sharing the
// folder, picks at the same time. It does not end in the file's own
// extension, so that a reader of the folder's ".prom" files, say, never
// takes it for one.
std::filesystem::path TemporaryBeside(const std::filesystem::path& file);

// How often a lock another program holds is asked for again.
inline constexpr uint32_t kLockRetryMs = 50;

}  // namespace px::detail
