#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "common/ui.h"
#include "device/transport.h"
#include "eventlog/log_time.h"

namespace px {

// A flash backup is the raw content of the range an upgrade rewrites: the
// 61440 bytes from address 0, as the verify stage reads them, with nothing
// added. Restoring one writes it back through the same four stages.

// "flash_<P0 serial>_<P1 serial>_yymmdd-hhmmss.bin" for the enclosure whose
// status record is given: the member disks say which enclosure the flash
// served, the time which backup is the older one. Characters a file name
// cannot carry become "-"; an empty serial (no member) is left out.
std::string FlashBackupName(std::span<const uint8_t, kSectorSize> statusRecord,
                            const LogTime& time);

// Why `bytes` cannot be written back as a flash backup (not exactly the flash
// range, or nothing but erased flash), or nullopt.
std::optional<std::string> RestoreRefusal(std::span<const uint8_t> bytes);

// Reads a backup file: the firmware reader's boxes and bounds, then a
// refusal in an "Error" box. `reason` as for ReadFirmwareSource.
std::optional<std::vector<uint8_t>> LoadFlashBackup(const std::filesystem::path& path,
                                                    Messages& messages,
                                                    std::error_code* reason = nullptr);

// Writes `bytes` to `path` so that `path` never holds half a backup, as
// ReplaceFileBytes does, readable by the owner alone: a backup holds the
// controller's flash, serial numbers among it. On failure nothing is left but
// what `path` held before, and the system's reason is returned; empty on
// success.
std::error_code SaveFlashBackup(const std::filesystem::path& path, std::span<const uint8_t> bytes);

}  // namespace px
