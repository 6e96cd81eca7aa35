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

// Which enclosure a flash served, for file names and log lines: the serial
// numbers of its member disks, P0's first, joined by "_"
// ("WD-WCC3F0000001_WD-WCC3F0000002"). Characters a file name cannot carry
// become "-" (so no part holds a "_"); an empty serial (no member) is left
// out, and with neither the text is empty.
std::string EnclosureKey(std::span<const uint8_t, kSectorSize> statusRecord);

// "flash_<P0 serial>_<P1 serial>_yymmdd-hhmmss.bin" for the enclosure whose
// status record is given: the member disks say which enclosure the flash
// served (EnclosureKey), the time which backup is the older one.
std::string FlashBackupName(std::span<const uint8_t, kSectorSize> statusRecord,
                            const LogTime& time);

// Every byte reads FFh: the flash is erased (or answers with nothing). There
// is no firmware in it to keep.
bool ReadsErased(std::span<const uint8_t> bytes);

// Beside every backup, the file that holds its SHA-256 as sha256sum writes
// it ("<64 hex digits>  <name>"): "flash.bin.sha256". A restore checks the
// backup against it; `sha256sum -c` can too.
std::filesystem::path ChecksumFileOf(const std::filesystem::path& backup);

// Why `bytes` cannot be written back as a flash backup (not exactly the flash
// range, or nothing but erased flash), or nullopt.
std::optional<std::string> RestoreRefusal(std::span<const uint8_t> bytes);

// Reads a backup file: the firmware reader's boxes and bounds, then a
// refusal in an "Error" box, then its checksum file: a backup that differs
// from it, or whose checksum file cannot be read, is refused ("Error" box).
// A backup without one (made before backups had one, or copied without it)
// cannot be checked; a "Message" box says so and it is read all the same.
// `reason` as for ReadFirmwareSource.
std::optional<std::vector<uint8_t>> LoadFlashBackup(const std::filesystem::path& path,
                                                    Messages& messages,
                                                    std::error_code* reason = nullptr);

// Writes `bytes` to `path`, and their checksum file beside it, each as
// ReplaceFileBytes does (a new file beside it, flushed, renamed over it) and
// readable by the owner alone: a backup holds the controller's flash, serial
// numbers among it. The backup goes first. On failure the system's reason is
// returned (empty on success), and nothing is left but what was there before,
// or at worst a new backup whose old checksum file no longer matches it,
// which a restore refuses.
std::error_code SaveFlashBackup(const std::filesystem::path& path, std::span<const uint8_t> bytes);

}  // namespace px
