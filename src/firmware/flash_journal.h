#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "raid/device_table.h"

namespace px {

// An upgrade or a restore leaves two lines in the day's log: one as the
// flash is about to be erased, one when the verify (or the stage that
// failed) has ended. A program killed in between (kill -9, a crash, the
// host's power) leaves the first alone, and the next program to look finds
// it there: its enclosure's flash may be half written.
//
//   D1 Firmware upgrade started, enclosure WD-A_WD-B, file "/x/fw.bin",
//      backup "/x/flash_WD-A_WD-B_261207-100000.bin", 12/07/26 10:00:00
//   D1 Firmware upgrade ended, enclosure WD-A_WD-B: SPI Verify OK, 12/07/26 10:01:30
//
// (each one line). The enclosure is named by its member disks (EnclosureKey,
// "-" when it has none), since its number may differ in the next program.
// A start names what is written (", built image" for an image built here)
// and, for an upgrade, the backup (", no backup"). Paths are quoted, a quote
// in them doubled, so that any path reads back; line breaks in them, which
// no log line can hold, become "?".

enum class FlashKind { Upgrade, Restore };

struct FlashRun {
  FlashKind kind = FlashKind::Upgrade;
  // The enclosure's number, as the log numbers enclosures (D1, D2, ...).
  int device = 1;
  std::string enclosure;
  // The firmware file written or the backup restored; empty for an image
  // that was built rather than loaded.
  std::filesystem::path file;
  // The backup an upgrade made first; empty when it made none. A restore
  // makes none.
  std::filesystem::path backup;
};

// The two lines without their timestamp, which the log writer adds.
std::string FlashStartedLine(const FlashRun& run);
std::string FlashEndedLine(const FlashRun& run, std::string_view outcome);

// A run whose start is in the log with no end after it.
struct CutShortFlash {
  FlashRun run;
  // The start line's timestamp, as it was written.
  std::string started;
  // The start line itself, which tells this run from any other.
  std::string line;
};

// Of `lines`, in the order they were written: the last start of each
// enclosure that no start or end of the same enclosure follows.
std::vector<CutShortFlash> CutShortFlashes(std::span<const std::string> lines);

// How many days' logs are looked through: those of the newest seven days
// that have a file in the folder, whatever their dates. Today's file alone
// misses a run cut short in the evening and looked at the next morning. A
// half-written controller runs on from its memory until it is switched off,
// which is when a restore through the channel can still help; a week of
// days in use covers a weekend or a few days away, also on a machine that
// was off for longer, and costs a week's small files read after a
// detection. Older lines stay in their files for anyone to read.
inline constexpr std::size_t kCutShortLookBackDays = 7;

// CutShortFlashes over the day files (yymmdd.log, yymmdd-user.log) of the
// newest kCutShortLookBackDays days in `directory`; files that cannot be
// read are passed over.
std::vector<CutShortFlash> CutShortFlashesIn(const std::filesystem::path& directory);

// What a front end tells of a cut-short run: which, that its flash may be
// half written, and the pxraid command that writes a whole one back (the
// backup an upgrade made, the same backup again for a restore, the same
// firmware for an upgrade without a backup). `slotNow` is where this program
// found the enclosure, when it did; the command names its device number
// unless it is the default, 1.
std::string CutShortNotice(const CutShortFlash& flash, std::optional<EnclosureSlot> slotNow);

}  // namespace px
