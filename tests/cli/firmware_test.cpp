// firmware check, upgrade and build through the built tool: the loader's
// verdicts and messages, the four stages on the virtual flash, and images
// byte for byte as the builder makes them.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "cli/pxraid_process.h"
#include "common/bytes.h"
#include "eventlog/log_file.h"
#include "firmware/flash_backup.h"
#include "firmware/image_builder.h"
#include "firmware/image_files.h"
#include "firmware/sub_code_table.h"
#include "firmware/upgrade.h"
#include "sim/demo_scenarios.h"
#include "sim/virtual_bus.h"
#include "support/recording_ui.h"
#include "unit/eventlog/log_test_support.h"

namespace px::test {
namespace {

namespace fs = std::filesystem;

std::string AsText(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

fs::path WriteFile(const TempDir& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
  WriteBytes(dir.path() / name, AsText(bytes));
  return dir.path() / name;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A file of `size` bytes that still passes every check of the loader: an
// empty body, whose CRC-32 is 0.
void ShortenKeepingTheChecks(std::vector<uint8_t>& file, std::size_t size) {
  StoreBigEndian(file.data() + 148, 4, 0);
  StoreBigEndian(file.data() + 152, 4, 0);
  file.resize(size);
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// The day's log of the simulated day.
std::vector<std::string> LogOf(const fs::path& directory) {
  return ReadLogLines(directory / "261207.log").value_or(std::vector<std::string>{});
}

bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The members of the two enclosures, as the log names them.
const char kMirror[] = "WD-WCC3F0000001_WD-WCC3F0000002";
const char kStripe[] = "ZFL0A001_ZFL0A002";

// An upgrade's two lines in the log of `logs`: its start, naming the file
// and the backup made first (any in `logs` when `backup` is empty, none when
// it is "none"), and its end with the outcome.
bool HasUpgradeLines(const fs::path& logs, const std::string& device, const std::string& enclosure,
                     const fs::path& file, const std::string& outcome,
                     const std::string& backup = {}) {
  const std::string head = device + " Firmware upgrade started, enclosure " + enclosure +
                           ", file \"" + file.string() + "\"";
  const std::string withBackup =
      head + ", backup \"" + (backup.empty() ? (logs / "flash_").string() : backup);
  const std::vector<std::string> lines = LogOf(logs);
  const bool start =
      backup == "none"
          ? HasLine(lines, head + ", no backup, 12/07/26 10:00:00")
          : std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
              return line.starts_with(withBackup) && line.ends_with(".bin\", 12/07/26 10:00:00");
            });
  return start && HasLine(lines, device + " Firmware upgrade ended, enclosure " + enclosure + ": " +
                                     outcome + ", 12/07/26 10:00:00");
}

// The flash of the healthy mirror's enclosure as the scenario sets it up.
std::vector<uint8_t> ScenarioFlash() {
  sim::VirtualBus bus;
  sim::FindDemoScenario("healthy-mirror")->build(bus);
  return bus.EnclosureAt(sim::kMirrorDrive)->ReadFlash(0, kFlashSize);
}

const char kMirrorBackup[] = "flash_WD-WCC3F0000001_WD-WCC3F0000002_261207-100000.bin";

struct Refusal {
  std::string kind;
  std::function<void(std::vector<uint8_t>&)> spoil;
  std::vector<std::string> deviceArgs;
  std::string message;
};

TEST(FirmwareCheck, AcceptsTheDemoFileAndRefusesEachBadKindWithTheLoadersMessage) {
  TempDir dir;
  const fs::path good = WriteFile(dir, "good.bin", sim::DemoFirmwareFile());
  const RunResult accepted = RunPxraid({"firmware", "check", good.string(), "--device-version",
                                        "14031815", "--device-product", "5000"});
  EXPECT_EQ(accepted.exitCode, 0) << accepted.err;
  EXPECT_EQ(accepted.OutLines(),
            (std::vector<std::string>{"File:" + good.string(), "Chksum:0077841F", "F:14031815",
                                      "C:14090215", "The firmware file would be accepted."}));

  const std::vector<std::string> otherProduct{"--device-version", "14031815", "--device-product",
                                              "2760"};
  const std::vector<Refusal> refusals{
      {"body byte",
       [](auto& f) { f[4000] ^= 0x01; },
       {},
       "Threr are CRC error in the firmware file.\nPlease check it."},
      // A bad CRC is told first even when the GUID is wrong as well.
      {"body and GUID",
       [](auto& f) { f[4000] ^= 0x01, f[140] ^= 0x01; },
       {},
       "Threr are CRC error in the firmware file.\nPlease check it."},
      {"GUID",
       [](auto& f) { f[140] ^= 0x01; },
       {},
       "Threr are GUID error in the firmware file.\nPlease check it."},
      {"signature",
       [](auto& f) { f[131] = 'X'; },
       {},
       "Threr are METADATA_SINGATURE error in the firmware file.\nPlease check it."},
      {"product", [](auto&) {}, otherProduct,
       "The firmware is not for this product.\nPlease check it."},
      {"too short",
       [](auto& f) { f.resize(175); },
       {},
       "The firmware file is too short.\nPlease check it."},
      {"body past the end",
       [](auto& f) { StoreBigEndian(f.data() + 148, 4, f.size()); },
       {},
       "The firmware body runs past the end of the file.\nPlease check it."},
      // The loader's checks pass; the upgrade's first stage would not.
      {"shorter than the flash range",
       [](auto& f) { ShortenKeepingTheChecks(f, 1000); },
       {},
       "An upgrade would refuse the file. The firmware image has 1000 bytes, 61440 needed."},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.kind);
    std::vector<uint8_t> file = sim::DemoFirmwareFile();
    refusal.spoil(file);
    const fs::path bad = WriteFile(dir, "bad.bin", file);
    std::vector<std::string> args{"firmware", "check", bad.string()};
    args.insert(args.end(), refusal.deviceArgs.begin(), refusal.deviceArgs.end());
    const RunResult run = RunPxraid(args);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(Contains(run.err, refusal.message + "\n")) << run.err;
    EXPECT_FALSE(Contains(run.out, "accepted"));
  }

  const RunResult missing = RunPxraid({"firmware", "check", (dir.path() / "none.bin").string()});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_TRUE(Contains(missing.err, "Fail to open firmware file\n"));
}

TEST(FirmwareCheck, ComparesWithAnEnclosureFoundOnTheBus) {
  TempDir dir;
  std::vector<uint8_t> file = sim::DemoFirmwareFile();
  const fs::path good = WriteFile(dir, "good.bin", file);
  file[161] = 0x01;  // another product code; the CRC does not cover it
  const fs::path other = WriteFile(dir, "other.bin", file);

  const RunResult fits =
      RunPxraid(Virtual("healthy-mirror", {"firmware", "check", good.string(), "--device", "1"}));
  EXPECT_EQ(fits.exitCode, 0) << fits.err;
  EXPECT_TRUE(Contains(fits.out, "F:14031815\nC:14090215\n"));
  const RunResult refused =
      RunPxraid(Virtual("healthy-mirror", {"firmware", "check", other.string(), "--device", "1"}));
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_TRUE(Contains(refused.err, "The firmware is not for this product."));
  const RunResult noSuch =
      RunPxraid(Virtual("healthy-mirror", {"firmware", "check", good.string(), "--device", "2"}));
  EXPECT_EQ(noSuch.exitCode, 3);
  EXPECT_TRUE(Contains(noSuch.err, "there is no device 2"));
}

struct UpgradeCase {
  std::string name;
  std::string scenario;
  std::vector<std::string> args;
  std::string input;
  int exitCode;
  std::vector<std::string> stages;  // panel results, in order
  std::string error;                // on standard error
};

TEST(FirmwareUpgrade, RunsTheFourStagesOnTheVirtualFlash) {
  TempDir dir;
  const fs::path file = WriteFile(dir, "fw.bin", sim::DemoFirmwareFile());
  const std::vector<std::string> all{"SPI test OK", "SPI Erase OK", "SPI Program OK"};
  const std::vector<UpgradeCase> cases{
      {"confirmed by --yes",
       "healthy-mirror",
       {"--yes"},
       "",
       0,
       {"SPI test OK", "SPI Erase OK", "SPI Program OK", "SPI Verify OK"},
       ""},
      {"confirmed on the terminal",
       "healthy-mirror",
       {},
       "y\n",
       0,
       {"SPI test OK", "SPI Erase OK", "SPI Program OK", "SPI Verify OK"},
       "[y/N]"},
      {"second enclosure",
       "two-enclosures",
       {"--yes", "--device", "2"},
       "",
       0,
       {"SPI test OK", "SPI Erase OK", "SPI Program OK", "SPI Verify OK"},
       ""},
      {"a bit flipped on read-back",
       "flipped-bit",
       {"--yes"},
       "",
       1,
       {"SPI test OK", "SPI Erase OK", "SPI Program OK", "SPI Verify fail !!!"},
       "SPI Verify fail !!!\n"},
      {"declined", "healthy-mirror", {}, "n\n", 1, {}, "not confirmed; nothing was changed"},
      {"no answer", "healthy-mirror", {}, "", 1, {}, "not confirmed"},
      {"no enclosure", "no-enclosure", {"--yes"}, "", 3, {}, "No enclosure found."},
      {"no permission", "no-permission", {"--yes"}, "", 3, {}, "No permission to open"},
      {"another program upgrades it",
       "healthy-mirror",
       {"--yes", "--held-elsewhere", "1:firmware"},
       "",
       3,
       {},
       "drive 1 was not probed: another program is upgrading its firmware."},
  };
  for (const UpgradeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path logs = dir.path() / c.name;
    std::vector<std::string> args{"firmware", "upgrade", file.string(), "--log-dir", logs.string()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult run = RunPxraid(Virtual(c.scenario, args), c.input);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    std::vector<std::string> stages;
    for (const std::string& line : run.OutLines()) {
      if (line.rfind("SPI ", 0) == 0) stages.push_back(line);
    }
    EXPECT_EQ(stages, c.stages);
    EXPECT_TRUE(Contains(run.err, c.error)) << run.err;
    EXPECT_EQ(Contains(run.out, "Firmware Upgrade 4/4 completed!"), c.exitCode == 0);
    if (c.exitCode == 0) {
      EXPECT_TRUE(Contains(run.out, "Process 3 / 4: 100%, page 480 of 480\n"));
    }
    // Whatever its outcome, an upgrade that ran leaves its start and its end
    // in the log.
    if (!c.stages.empty()) {
      const bool second = std::find(c.args.begin(), c.args.end(), "2") != c.args.end();
      EXPECT_TRUE(HasUpgradeLines(logs, second ? "D2" : "D1", second ? kStripe : kMirror, file,
                                  c.stages.back()));
    }
  }
}

TEST(FirmwareUpgrade, AnImageShorterThanTheFlashIsRefusedOnceBeforeAnyQuestion) {
  TempDir dir;
  std::vector<uint8_t> file = sim::DemoFirmwareFile();
  ShortenKeepingTheChecks(file, 1000);
  const fs::path shortFile = WriteFile(dir, "short.bin", file);
  const RunResult run =
      RunPxraid(Virtual("healthy-mirror", {"firmware", "upgrade", shortFile.string()}), "y\n");
  EXPECT_EQ(run.exitCode, 1);
  const std::string refusal = "The firmware image has 1000 bytes, 61440 needed.";
  EXPECT_EQ(Count(run.out + run.err, refusal), 1U) << run.out << run.err;
  EXPECT_TRUE(Contains(run.err, "Nothing was changed.")) << run.err;
  EXPECT_FALSE(Contains(run.err, "[y/N]")) << run.err;
  EXPECT_FALSE(Contains(run.out, "SPI ")) << run.out;
}

// What keeps the other programs off the enclosure from the backup to the
// last compare says that it is firmware work, which is what they tell their
// users ("another program is upgrading its firmware"). In the recording of an
// upgrade: the claim in force when the first SPI command is knocked (a page
// read, erase or write spells 0x220, 0x223 or 0x225), and no claim after it.
TEST(FirmwareUpgrade, HoldsTheEnclosureAsFirmwareWorkFromTheBackupToTheVerify) {
  TempDir dir;
  const fs::path file = WriteFile(dir, "fw.bin", sim::DemoFirmwareFile());
  const fs::path recording = dir.path() / "upgrade.jsonl";
  const RunResult run = RunPxraid(
      Virtual("healthy-mirror", {"--record", recording.string(), "firmware", "upgrade",
                                 file.string(), "--yes", "--log-dir", dir.path().string()}));
  ASSERT_EQ(run.exitCode, 0) << run.err;

  std::optional<nlohmann::json> inForce;
  bool flashWork = false;
  int claimsAfter = 0;
  for (const std::string& line : SplitLines(ReadBytes(recording))) {
    if (flashWork) {
      claimsAfter += Contains(line, "\"call\":\"claim\"") ? 1 : 0;
      continue;
    }
    const nlohmann::json call = nlohmann::json::parse(line);
    if (call.value("call", "") == "claim") inForce = call;
    if (call.value("call", "") != "execute" || !call.contains("drive")) continue;
    const std::string cdb = call.at("cdb");  // READ(10): the LBA in bytes 2-5
    const unsigned long lba =
        cdb.rfind("28", 0) == 0 ? std::stoul(cdb.substr(4, 8), nullptr, 16) : 0;
    flashWork = lba == 0x220 || lba == 0x223 || lba == 0x225;
  }
  ASSERT_TRUE(flashWork);
  ASSERT_TRUE(inForce);
  EXPECT_EQ(inForce->at("drive"), sim::kMirrorDrive);
  EXPECT_EQ(inForce->at("purpose"), "firmware");
  EXPECT_EQ(inForce->at("granted"), true);
  EXPECT_EQ(claimsAfter, 0);
}

// A terminal that goes away, a reader that has seen enough, and every key or
// command that ends a program, each arriving while the flash is being
// written: the upgrade finishes, and its exit status and log line are those
// of a finished upgrade. The virtual disks really take time over each read
// (nothing is asserted about it), so the upgrade is still at work when its
// erase stage has been announced and the signal comes.
TEST(FirmwareUpgrade, FinishesThroughAClosedOutputAndEverySignalOfATerminal) {
  TempDir dir;
  const fs::path file = WriteFile(dir, "fw.bin", sim::DemoFirmwareFile());
  struct Case {
    const char* name;
    int signal;  // 0: standard output is closed instead
    bool refused;
  };
  const std::vector<Case> cases{
      {"| head", 0, false},       {"SIGPIPE", SIGPIPE, false}, {"SIGHUP", SIGHUP, true},
      {"SIGQUIT", SIGQUIT, true}, {"SIGINT", SIGINT, true},    {"SIGTERM", SIGTERM, true},
  };
  // All at once: each spends its time waiting on the virtual disks.
  std::vector<std::unique_ptr<PxraidProcess>> runs;
  for (const Case& c : cases) {
    const fs::path logs = dir.path() / c.name;
    runs.push_back(std::make_unique<PxraidProcess>(
        Virtual("healthy-mirror", {"--read-latency", "20", "firmware", "upgrade", file.string(),
                                   "--yes", "--log-dir", logs.string()})));
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    ASSERT_TRUE(runs[i]->ReadUntil(
        [](const std::string& out) { return Contains(out, "Process 2 / 4: 0%"); }));
    if (cases[i].signal == 0) {
      runs[i]->CloseOutput();
    } else {
      runs[i]->Signal(cases[i].signal);
    }
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const RunResult run = runs[i]->Wait();
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Contains(run.err, "Firmware is upgrading, please wait a moment.\n"), c.refused)
        << run.err;
    if (c.signal != 0) {
      EXPECT_TRUE(Contains(run.out, "SPI Verify OK\n")) << run.out;
    }
    EXPECT_TRUE(HasUpgradeLines(dir.path() / c.name, "D1", kMirror, file, "SPI Verify OK"));
  }
}

struct BackupCase {
  std::string name;
  std::vector<std::string> args;  // after the global options
  int exitCode;
  std::string backup;  // where the flash is saved, below the test's folder; empty: nowhere
  std::string said;    // on standard output, or on standard error when it failed
};

// firmware backup saves the flash as the enclosure holds it; an upgrade does
// the same in its log folder first, unless told not to, and does not erase
// anything when it cannot.
TEST(FirmwareBackup, SavesTheFlashAsTheEnclosureHoldsItBeforeAnyUpgrade) {
  TempDir dir;
  const fs::path file = WriteFile(dir, "fw.bin", sim::DemoFirmwareFile());
  WriteFile(dir, "not-a-folder", {1});
  const std::string logs = (dir.path() / "logs").string();
  const std::string upgrade = "Firmware Upgrade 4/4 completed!";
  const std::vector<BackupCase> cases{
      {"backup",
       {"firmware", "backup", (dir.path() / "b.bin").string()},
       0,
       "b.bin",
       "saved to " + (dir.path() / "b.bin").string()},
      {"upgrade",
       {"firmware", "upgrade", file.string(), "--yes", "--log-dir", logs},
       0,
       std::string("logs/") + kMirrorBackup,
       "Flash backed up to " + (dir.path() / "logs" / kMirrorBackup).string() + "\n"},
      {"upgrade --no-backup",
       {"firmware", "upgrade", file.string(), "--yes", "--no-backup", "--log-dir",
        (dir.path() / "none").string()},
       0,
       "",
       upgrade},
      {"upgrade whose backup cannot be written",
       {"firmware", "upgrade", file.string(), "--yes", "--log-dir",
        (dir.path() / "not-a-folder").string()},
       1,
       "",
       "; nothing was erased. --no-backup upgrades without a backup."},
  };
  for (const BackupCase& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult run = RunPxraid(Virtual("healthy-mirror", c.args));
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_TRUE(Contains(c.exitCode == 0 ? run.out : run.err, c.said)) << run.out << run.err;
    if (c.exitCode != 0) {
      EXPECT_FALSE(Contains(run.out, "SPI Erase")) << run.out;
    }
    if (!c.backup.empty()) {
      EXPECT_TRUE(ReadBytes(dir.path() / c.backup) == AsText(ScenarioFlash()));
    }
  }
  EXPECT_FALSE(fs::exists(dir.path() / "none" / kMirrorBackup));
  EXPECT_TRUE(HasUpgradeLines(dir.path() / "logs", "D1", kMirror, file, "SPI Verify OK",
                              (dir.path() / "logs" / kMirrorBackup).string()));
}

// An enclosure whose flash reads as erased has nothing to back up: the
// backup says so and writes nothing; an upgrade says so and asks before it
// goes on without one, which --yes answers.
TEST(FirmwareBackup, AFlashThatReadsAsErasedIsNamedAndTheUpgradeAsksBeforeGoingOnWithoutOne) {
  TempDir dir;
  const fs::path file = WriteFile(dir, "fw.bin", sim::DemoFirmwareFile());
  const std::string erased =
      "pxraid: The flash reads as erased: there is no firmware in it to "
      "back up.";
  const std::string question = "Upgrade without a backup? [y/N]";
  const std::vector<UpgradeCase> cases{
      {"backup",
       "erased-flash",
       {"firmware", "backup", (dir.path() / "b.bin").string()},
       "",
       1,
       {},
       erased + " No backup was written.\n"},
      {"upgrade declined without a backup",
       "erased-flash",
       {"firmware", "upgrade", file.string()},
       "y\nn\n",
       1,
       {},
       question},
      {"upgrade confirmed without a backup",
       "erased-flash",
       {"firmware", "upgrade", file.string()},
       "y\ny\n",
       0,
       {"SPI test OK", "SPI Erase OK", "SPI Program OK", "SPI Verify OK"},
       question},
      {"upgrade --yes",
       "erased-flash",
       {"firmware", "upgrade", file.string(), "--yes"},
       "",
       0,
       {"SPI test OK", "SPI Erase OK", "SPI Program OK", "SPI Verify OK"},
       erased + "\n"},
  };
  for (const UpgradeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path logs = dir.path() / c.name;
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--log-dir", logs.string()});
    const RunResult run = RunPxraid(Virtual(c.scenario, args), c.input);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_TRUE(Contains(run.err, erased)) << run.err;
    EXPECT_TRUE(Contains(run.err, c.error)) << run.err;
    std::vector<std::string> stages;
    for (const std::string& line : run.OutLines()) {
      if (line.rfind("SPI ", 0) == 0) stages.push_back(line);
    }
    EXPECT_EQ(stages, c.stages);
    EXPECT_FALSE(fs::exists(dir.path() / "b.bin"));
    bool backedUp = false;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(logs, ignored)) {
      backedUp = backedUp || entry.path().filename().string().starts_with("flash_");
    }
    EXPECT_FALSE(backedUp);
    if (c.exitCode == 0) {
      EXPECT_TRUE(HasUpgradeLines(logs, "D1", kMirror, file, "SPI Verify OK", "none"));
    }
  }
}

// `firmware backup` then `firmware restore` of what it saved; a backup is
// written back only when it is whole, not erased and unchanged since.
TEST(FirmwareRestore, WritesABackupBackAndRefusesWhatIsNone) {
  TempDir dir;
  const fs::path made = dir.path() / "made.bin";
  const RunResult backup =
      RunPxraid(Virtual("healthy-mirror", {"firmware", "backup", made.string()}));
  ASSERT_EQ(backup.exitCode, 0) << backup.err;
  const std::string bytes = ReadBytes(made);
  std::string spoiled = bytes;
  spoiled[0x1234] = static_cast<char>(spoiled[0x1234] ^ 0x04);
  const fs::path changed = dir.path() / "changed.bin";
  WriteBytes(changed, spoiled);
  fs::copy_file(ChecksumFileOf(made), ChecksumFileOf(changed));
  const fs::path unchecked = dir.path() / "unchecked.bin";
  WriteBytes(unchecked, bytes);
  const fs::path erased = WriteFile(dir, "erased.bin", std::vector<uint8_t>(kFlashSize, 0xFF));
  const fs::path shorter = WriteFile(dir, "short.bin", std::vector<uint8_t>(kFlashSize - 1, 0));
  const fs::path missing = dir.path() / "missing.bin";
  const std::vector<std::tuple<fs::path, int, std::string>> cases{
      {made, 0, "SPI Verify OK\n"},
      {unchecked, 0,
       "The backup has no checksum file beside it (unchecked.bin.sha256): it cannot be checked.\n"},
      {changed, 1,
       "The backup does not match its checksum file changed.bin.sha256.\nPlease check it."},
      {erased, 1, "The backup holds nothing but erased flash (every byte FFh).\nPlease check it."},
      {shorter, 1, "The backup has 61439 bytes; a flash backup has 61440.\nPlease check it."},
      {missing, 1, "pxraid: cannot read " + missing.string() + ": no such file or directory"},
  };
  for (const auto& [file, exitCode, said] : cases) {
    SCOPED_TRACE(file.string());
    const fs::path logs = dir.path() / ("logs-" + file.stem().string());
    const RunResult run =
        RunPxraid(Virtual("healthy-mirror", {"firmware", "restore", file.string(), "--yes",
                                             "--log-dir", logs.string()}));
    EXPECT_EQ(run.exitCode, exitCode) << run.err;
    EXPECT_TRUE(Contains(exitCode == 0 ? run.out + run.err : run.err, said)) << run.out << run.err;
    const std::vector<std::string> lines = LogOf(logs);
    EXPECT_EQ(HasLine(lines, "D1 Firmware restore started, enclosure " + std::string(kMirror) +
                                 ", file \"" + file.string() + "\", 12/07/26 10:00:00"),
              exitCode == 0);
    EXPECT_EQ(HasLine(lines, "D1 Firmware restore ended, enclosure " + std::string(kMirror) +
                                 ": SPI Verify OK, 12/07/26 10:00:00"),
              exitCode == 0);
    if (exitCode != 0) {
      EXPECT_FALSE(Contains(run.out, "SPI ")) << run.out;
    }
  }
}

// kill -9 in the middle of an upgrade leaves its start line alone in the
// log. Every command that looks at the enclosures afterwards says, once,
// that the upgrade was cut short and how to put the backup back, however
// often it detects (the monitor here finds a second enclosure plugged in),
// until a restore has ended.
TEST(FirmwareUpgrade, OneKilledHalfWayIsToldOfOnceByTheNextRunsWithTheRestoreCommand) {
  TempDir dir;
  const fs::path file = WriteFile(dir, "fw.bin", sim::DemoFirmwareFile());
  const fs::path logs = dir.path() / "logs";
  const std::string logDir = logs.string();
  PxraidProcess upgrade(Virtual("healthy-mirror", {"--read-latency", "20", "firmware", "upgrade",
                                                   file.string(), "--yes", "--log-dir", logDir}));
  ASSERT_TRUE(
      upgrade.ReadUntil([](const std::string& out) { return Contains(out, "Process 3 / 4: 0%"); }));
  upgrade.Signal(SIGKILL);
  EXPECT_EQ(upgrade.Wait().signal, SIGKILL);
  const fs::path backup = logs / kMirrorBackup;
  const std::vector<std::string> left = LogOf(logs);
  const auto begins = [&left](const std::string& head) {
    return std::any_of(left.begin(), left.end(),
                       [&](const std::string& line) { return line.starts_with(head); });
  };
  EXPECT_TRUE(begins("D1 Firmware upgrade started, enclosure " + std::string(kMirror) +
                     ", file \"" + file.string() + "\", backup \"" + backup.string() + "\", "));
  EXPECT_FALSE(begins("D1 Firmware upgrade ended"));

  const std::string notice =
      "pxraid: The firmware upgrade of device 1 (disks WD-WCC3F0000001 and WD-WCC3F0000002) that "
      "started 12/07/26 10:00:00 was cut short: its flash may be half written. Before the "
      "enclosure is switched off, put its backup back: pxraid firmware restore " +
      backup.string() + "\n";
  const std::vector<std::pair<std::string, std::vector<std::string>>> looks{
      {"healthy-mirror", {"status", "--log-dir", logDir}},
      {"enclosure-plugged-in", {"monitor", "--polls", "4", "--interval", "0", "--log-dir", logDir}},
      {"healthy-mirror",
       {"firmware", "backup", (dir.path() / "b.bin").string(), "--log-dir", logDir}},
      {"healthy-mirror", {"firmware", "restore", backup.string(), "--yes", "--log-dir", logDir}},
  };
  for (const auto& [scenario, args] : looks) {
    SCOPED_TRACE(args.front());
    const RunResult run = RunPxraid(Virtual(scenario, args));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Count(run.err, notice), 1U) << run.err;
  }
  // The restore has ended: nothing is cut short any more.
  const RunResult after = RunPxraid(Virtual("healthy-mirror", {"status", "--log-dir", logDir}));
  EXPECT_FALSE(Contains(after.err, "cut short")) << after.err;
}

// A head file with its configuration block at `c`.
std::vector<uint8_t> HeadFile(uint32_t c) {
  std::vector<uint8_t> head(300);
  for (std::size_t i = 0; i < head.size(); ++i) head[i] = static_cast<uint8_t>(i * 7);
  StoreLittleEndian(head.data() + 16, 3, c);
  return head;
}

struct BuildCase {
  std::string name;
  std::vector<std::string> args;  // after --head and -o
  std::function<void(SubCodeTable&, ImageSettings&)> sameInBuilder;
  uint32_t seed;
};

TEST(FirmwareBuild, WritesTheBuildersBytesForAFixedSeed) {
  TempDir dir;
  WriteFile(dir, "SPIHEAD.BIN", HeadFile(0x38000));
  WriteFile(dir, "head.img", HeadFile(0x38000));
  WriteFile(dir, "SUB-A0.BIN", std::vector<uint8_t>(1000, 0xA0));
  WriteFile(dir, "other.bin", std::vector<uint8_t>(0xC000, 0x31));
  const std::string subA = (dir.path() / "SUB-A0.BIN").string();
  const std::string other = (dir.path() / "other.bin").string();

  const std::vector<BuildCase> cases{
      {"defaults", {"--seed", "12345"}, [](SubCodeTable&, ImageSettings&) {}, 12345},
      {"two sub-codes, one typed and switched off",
       {"--seed", "3039H", "--sub", subA, "--sub", other + ":31H:FALSE"},
       [&](SubCodeTable& t, ImageSettings&) {
         t.AddFile(subA);
         t.AddFile(other);
         t.SetCodeTypeText(3, "31H");
         t.SetUpdateFlag(3, false);
       },
       12345},
      {"settings and a fixed size",
       {"--seed", "7", "--size", "4M", "--no-jumper", "--no-chip", "--fan-supported", "2",
        "--fan-limit", "0BB8H", "--thermal-supported", "0", "--thermal-limit", "60",
        "--schedule-backup", "--fast-backup", "--sub", subA + ":160"},
       [&](SubCodeTable& t, ImageSettings& s) {
         s.autoSize = false;
         s.binSize = BinSize::FourMBits;
         s.raidModeByJumper = false;
         s.zl7314bChip = false;
         s.fanSupported = "2";
         s.fanAlarmLimit = "3000";
         s.thermalSupported = "0";
         s.thermalAlarmLimit = "60";
         s.scheduleBackup = true;
         s.fastBackup = true;
         t.AddFile(subA);
         t.SetCodeTypeText(2, "160");
       },
       7},
  };
  for (const std::string head : {"SPIHEAD.BIN", "head.img"}) {
    for (const BuildCase& c : cases) {
      SCOPED_TRACE(head + ": " + c.name);
      const fs::path out = dir.path() / "image.img";
      std::vector<std::string> args{"firmware", "build",     "--head", (dir.path() / head).string(),
                                    "-o",       out.string()};
      args.insert(args.end(), c.args.begin(), c.args.end());
      const RunResult run = RunPxraid(args);
      EXPECT_EQ(run.exitCode, 0) << run.err;
      const fs::path saved = dir.path() / "image.bin";
      EXPECT_TRUE(Contains(run.out, "Svae File OK :" + saved.string()));

      SubCodeTable table;
      ImageSettings settings;
      table.AddFile(dir.path() / "SPIHEAD.BIN");
      c.sameInBuilder(table, settings);
      std::mt19937 fill(c.seed);
      const ImageBuild build = BuildImage(ReadImageParts(table), settings, fill);
      ASSERT_FALSE(build.refusal);
      EXPECT_TRUE(ReadBytes(saved) == AsText(build.image));
      fs::remove(saved);
    }
  }
}

TEST(FirmwareBuild, RefusesWithTheBuildersMessageAndSavesNothing) {
  TempDir dir;
  WriteFile(dir, "SPIHEAD.BIN", HeadFile(0x38000));
  WriteFile(dir, "SUB-10.BIN", std::vector<uint8_t>(16, 0x10));
  WriteFile(dir, "BIG-20.BIN", std::vector<uint8_t>(0xC001, 0x20));
  const std::string head = (dir.path() / "SPIHEAD.BIN").string();
  const std::string sub = (dir.path() / "SUB-10.BIN").string();
  std::vector<std::string> elevenSubs;
  for (int i = 0; i < 11; ++i) elevenSubs.insert(elevenSubs.end(), {"--sub", sub});

  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--head", (dir.path() / "none.bin").string()}, "Fail to open firmware file"},
      {{"--head", head, "--size", "1M", "--sub", sub}, "is too small"},
      {{"--head", head, "--sub", (dir.path() / "BIG-20.BIN").string()}, "48 KiB"},
      {[&] {
         std::vector<std::string> args{"--head", head};
         args.insert(args.end(), elevenSubs.begin(), elevenSubs.end());
         return args;
       }(),
       "at most 10 sub-codes"},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(message);
    const fs::path out = dir.path() / "image.bin";
    std::vector<std::string> all{"firmware", "build", "-o", out.string()};
    all.insert(all.end(), args.begin(), args.end());
    const RunResult run = RunPxraid(all);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(Contains(run.err, message)) << run.err;
    EXPECT_FALSE(fs::exists(out));
  }
}

}  // namespace
}  // namespace px::test
