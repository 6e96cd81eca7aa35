#include "firmware/flash_backup.h"

#include <gtest/gtest.h>

#include <csignal>

#include "common/sha256.h"
#include "firmware_rig.h"
#include "raid/records.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace px {
namespace {

using test::FirmwareRig;
using test::Pattern;
using test::ReadBack;
using Box = test::RecordingMessages::Box;

std::vector<std::filesystem::path> Entries(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> out;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) out.push_back(entry.path());
  return out;
}

// A backup read goes down the way every upgrade's verify read does, and
// leaves the enclosure, the bracket and the slot as they were; restored, it
// goes back through the four stages byte for byte.
TEST(FlashBackup, IsTheFlashRangeAsReadAndRestoresThroughTheFourStages) {
  struct Case {
    const char* name;
    std::function<void(FirmwareRig&)> arrange;
    std::string lastText;  // empty: read
  };
  const std::vector<Case> cases{
      {"faithful", [](FirmwareRig&) {}, ""},
      {"nine failed reads at 0x0080",
       [](FirmwareRig& rig) {
         rig.enclosure->AddCommandFault(sim::CommandFault::SpiReadAt(0x80, 9, 0x42));
       },
       "ReadSPI fail, Address = 0080"},
      {"another firmware operation runs", [](FirmwareRig& rig) { rig.flags.firmwareBusy = true; },
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FirmwareRig rig;
    const std::vector<uint8_t> flash = Pattern(kFlashSize, 5);
    rig.enclosure->SetFlash(0, flash);
    rig.devices.UpgradeSlot = kNoSlot;
    c.arrange(rig);
    const bool busy = rig.flags.firmwareBusy;
    const std::optional<std::vector<uint8_t>> backup =
        rig.work.ReadFlashBackup(EnclosureSlot{0}).bytes;
    EXPECT_EQ(backup.has_value(), c.lastText.empty() && !busy);
    EXPECT_EQ(rig.panels.Last(StatusPanels::kMessagePanel), c.lastText);
    for (const auto& [c0, page] : rig.SpiCommands()) EXPECT_EQ(c0, 0x20) << "only page reads";
    EXPECT_EQ(rig.flags.firmwareBusy, busy);
    EXPECT_EQ(rig.devices.UpgradeSlot, kNoSlot);
    EXPECT_EQ(rig.bus.OpenHandleCount(), 0U);
    if (!backup) continue;
    EXPECT_EQ(*backup, flash);

    rig.enclosure->SetFlash(0, Pattern(kFlashSize, 6));
    rig.state.ReplaceImage(*backup);
    rig.Upgrade(EnclosureSlot{0});
    EXPECT_EQ(rig.panels.Last(StatusPanels::kMessagePanel), "SPI Verify OK");
    EXPECT_EQ(rig.Flash(0, kFlashSize), flash);
  }
}

// A backup is refused for its size or for being erased before its checksum
// is looked at; then it must match its checksum file, and one without is
// read with a word that it could not be checked.
TEST(FlashBackup, OnlyAWholeFlashRangeThatIsNotAllErasedAndIsUnchangedIsRestored) {
  const std::vector<uint8_t> good = Pattern(kFlashSize);
  std::vector<uint8_t> changed = good;
  changed[0x1234] ^= 0x04;
  const std::string checksum = Sha256Text(good) + "  b.bin\n";
  const auto refused = [](const std::string& text) {
    return Box{"Error", text + "\nPlease check it.", MessageIcon::Error};
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    std::optional<std::string> checksumFile;
    std::optional<Box> box;
    bool loaded;
    bool needsNonRoot = false;
  };
  const std::vector<Case> cases{
      {"unchanged", good, checksum, std::nullopt, true},
      {"no checksum file", good, std::nullopt,
       Box{"Message",
           "The backup has no checksum file beside it (b.bin.sha256): it cannot be checked.",
           MessageIcon::None},
       true},
      {"one bit changed since", changed, checksum,
       refused("The backup does not match its checksum file b.bin.sha256."), false},
      {"an empty checksum file", good, "",
       refused("The backup does not match its checksum file b.bin.sha256."), false},
      {"a checksum file that may not be read", good, checksum,
       refused("The checksum file b.bin.sha256 cannot be read."), false, true},
      {"one byte short", Pattern(kFlashSize - 1), std::nullopt,
       refused("The backup has 61439 bytes; a flash backup has 61440."), false},
      {"one byte long", Pattern(kFlashSize + 1), std::nullopt,
       refused("The backup has 61441 bytes; a flash backup has 61440."), false},
      {"empty",
       {},
       std::nullopt,
       refused("The backup has 0 bytes; a flash backup has 61440."),
       false},
      {"erased", std::vector<uint8_t>(kFlashSize, 0xFF), std::nullopt,
       refused("The backup holds nothing but erased flash (every byte FFh)."), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
#ifndef _WIN32
    if (c.needsNonRoot && geteuid() == 0) continue;  // root reads whatever the mode says
#else
    if (c.needsNonRoot) continue;
#endif
    test::TempDir dir;
    const std::filesystem::path file = dir.Write("b.bin", c.bytes);
    if (c.checksumFile) {
      const std::filesystem::path sidecar = dir.Write(
          "b.bin.sha256", std::vector<uint8_t>(c.checksumFile->begin(), c.checksumFile->end()));
      if (c.needsNonRoot) std::filesystem::permissions(sidecar, std::filesystem::perms::none);
    }
    test::RecordingMessages messages;
    const std::optional<std::vector<uint8_t>> loaded = LoadFlashBackup(file, messages);
    EXPECT_EQ(loaded.has_value(), c.loaded);
    if (loaded) {
      EXPECT_EQ(*loaded, c.bytes);
    }
    EXPECT_EQ(messages.boxes(), c.box ? std::vector<Box>{*c.box} : std::vector<Box>{});
  }
}

// Whatever goes wrong, the file holds either the whole new backup or what it
// held before, and nothing else is left in the folder; a new backup has its
// checksum file beside it.
TEST(FlashBackup, IsSavedWholeOrNotAtAll) {
  struct Case {
    const char* name;
    bool existing;
    std::string folder;  // below the test's folder; "missing" is not made
    std::size_t limit;   // the largest file this process may write; 0: none
    bool saved;
  };
  const std::vector<Case> cases{
      {"new", false, "", 0, true},
      {"over an older one", true, "", 0, true},
      {"into a folder that is not there", false, "missing", 0, false},
#ifndef _WIN32
      // Writing stops half way, as on a full disk.
      {"file size limit half way", true, "", kFlashSize / 2, false},
#endif
  };
  const std::vector<uint8_t> backup = Pattern(kFlashSize, 7);
  const std::vector<uint8_t> older = Pattern(kFlashSize, 8);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::filesystem::path file = dir.path() / c.folder / "flash.bin";
    if (c.existing) dir.Write("flash.bin", older);
    std::error_code error;
#ifndef _WIN32
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    if (c.limit != 0) {
      rlimit limited = saved;
      limited.rlim_cur = c.limit;
      setrlimit(RLIMIT_FSIZE, &limited);
    }
    error = SaveFlashBackup(file, backup);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
#else
    error = SaveFlashBackup(file, backup);
#endif
    EXPECT_EQ(!error, c.saved) << error.message();
    if (!error) {
      EXPECT_EQ(ReadBack(file), backup);
      const std::vector<uint8_t> checksum = ReadBack(ChecksumFileOf(file));
      EXPECT_EQ(std::string(checksum.begin(), checksum.end()),
                Sha256Text(backup) + "  flash.bin\n");
#ifndef _WIN32
      // The flash holds the members' serial numbers: the owner's alone.
      EXPECT_EQ(std::filesystem::status(file).permissions(),
                std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
#endif
    } else if (c.existing) {
      EXPECT_EQ(ReadBack(file), older);
    }
    // The backup and its checksum file, or what was there before.
    const std::vector<std::filesystem::path> left = Entries(dir.path());
    EXPECT_EQ(left.size(), !error ? 2U : c.existing ? 1U : 0U);
  }
}

TEST(FlashBackup, IsNamedAfterBothMembersAndTheTime) {
  // Serials as the controller stores them: each pair of bytes exchanged.
  const auto record = [](std::string p0, std::string p1) {
    Record r{};
    for (auto [text, at] : {std::pair{p0, status::kP0Serial}, std::pair{p1, status::kP1Serial}}) {
      text.resize(status::kSerialSize, ' ');
      for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        r[at + i] = static_cast<uint8_t>(text[i + 1]);
        r[at + i + 1] = static_cast<uint8_t>(text[i]);
      }
    }
    return r;
  };
  const LogTime time{2026, 12, 7, 9, 5, 3};
  const std::vector<std::pair<Record, std::string>> cases{
      {record("WD-WCC3F0000001", "WD-WCC3F0000002"),
       "flash_WD-WCC3F0000001_WD-WCC3F0000002_261207-090503.bin"},
      {record("    S3Z/9:K*01", ""), "flash_S3Z-9-K-01_261207-090503.bin"},
      {record("", ""), "flash_261207-090503.bin"},
  };
  for (const auto& [status, name] : cases) EXPECT_EQ(FlashBackupName(status, time), name);
}

}  // namespace
}  // namespace px
