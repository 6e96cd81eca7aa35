#include "sim/demo_scenarios.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "device/knock.h"
#include "firmware/firmware_file.h"
#include "raid/records.h"
#include "sim/virtual_bus.h"
#include "sim_helpers.h"
#include "support/recording_ui.h"

namespace px::sim {
namespace {

TEST(DemoScenarios, RebuildProgressReadsBackAsTheSamePercent) {
  // The host computes current * 100 / total and truncates; a current sector
  // rounded down would show 9 % for 10 %.
  for (const uint64_t total : {kOneTerabyteSectors, uint64_t{3907029168}, uint64_t{1000},
                               uint64_t{100}, uint64_t{(1ULL << 40) - 3}}) {
    for (unsigned percent = 0; percent <= 100; ++percent) {
      SCOPED_TRACE(testing::Message() << total << " sectors, " << percent << " %");
      const ProgressScenario p = RebuildProgress(total, static_cast<uint8_t>(percent));
      EXPECT_TRUE(p.present);
      EXPECT_EQ(ProgressPercent(p.currentSector, p.totalSectors),
                std::optional<uint8_t>(static_cast<uint8_t>(percent)));
      EXPECT_LE(p.currentSector, p.totalSectors);
    }
  }
}

struct Expected {
  std::string name;
  std::vector<unsigned> enclosures;
  std::string letters;           // in drive order of `drives`
  std::vector<unsigned> drives;  // the disk each letter lives on
  uint8_t mirrorP1Class;         // PortFlags class of the mirror's P1, 0 without a mirror
};

// What the host will make of each set-up: which drives are enclosures it
// recognises, which volumes live on which disk, and the mirror's state.
TEST(DemoScenarios, EachNamedSetUpShowsTheHostWhatItsNameSays) {
  const std::vector<Expected> table{
      {"healthy-mirror", {kMirrorDrive}, "CE", {0, 1}, kPortReady},
      {"rebuilding-mirror", {kMirrorDrive}, "CE", {0, 1}, kPortReady},
      {"failed-member", {kMirrorDrive}, "CE", {0, 1}, kPortFailed},
      {"two-enclosures", {kMirrorDrive, kStripeDrive}, "CEF", {0, 1, 2}, kPortReady},
      {"no-enclosure", {}, "C", {0}, 0},
  };
  ASSERT_EQ(DemoScenarios().size(), table.size());
  for (const Expected& e : table) {
    SCOPED_TRACE(e.name);
    const DemoScenario* scenario = FindDemoScenario(e.name);
    ASSERT_NE(scenario, nullptr);
    VirtualBus bus;
    scenario->build(bus);

    std::vector<unsigned> enclosures;
    for (unsigned drive = 0; drive < kBusDrives; ++drive) {
      const auto controller = bus.EnclosureAt(drive);
      if (!controller) continue;
      enclosures.push_back(drive);
      // Discovery takes a drive for an enclosure by product code 50 00 in
      // its identity reply.
      const Sector identity = test::Knock(*controller, ControllerQuery(kQueryIdentity));
      EXPECT_EQ(identity[reply::kIdentityProduct], 0x50);
      EXPECT_EQ(identity[reply::kIdentityProduct + 1], 0x00);
    }
    EXPECT_EQ(enclosures, e.enclosures);
    EXPECT_NE(bus.DriveAt(kSystemDiskDrive), nullptr);

    std::string letters;
    std::vector<unsigned> drives;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
      if ((bus.LogicalDriveMask() >> (letter - 'A') & 1) == 0) continue;
      letters += letter;
      const DeviceHandle volume =
          bus.Open({DevicePath::Kind::Volume, PhysicalDrive(0), letter}).handle;
      const auto extent = bus.FirstExtent(volume);
      bus.Close(volume);
      ASSERT_TRUE(extent.has_value());
      drives.push_back(extent->diskNumber);
      EXPECT_EQ(bus.DriveType(letter), kDriveFixed);
    }
    EXPECT_EQ(letters, e.letters);
    EXPECT_EQ(drives, e.drives);

    if (e.mirrorP1Class != 0) {
      const auto mirror = bus.EnclosureAt(kMirrorDrive);
      EXPECT_EQ(PortClass(mirror->Scenario().p1.state), e.mirrorP1Class);
      EXPECT_EQ(mirror->Scenario().modeByte, kRawModeMirror);
    }
  }
}

TEST(DemoScenarios, NamesAreUniqueAndUnknownNamesAreNotFound) {
  std::set<std::string_view> names;
  for (const DemoScenario& s : DemoScenarios()) EXPECT_TRUE(names.insert(s.name).second) << s.name;
  EXPECT_EQ(FindDemoScenario("two enclosures"), nullptr);
  EXPECT_EQ(FindDemoScenario(""), nullptr);
}

TEST(DemoScenarios, StripeEnclosureUnplugsAndPlugsBackWithItsVolume) {
  VirtualBus bus;
  FindDemoScenario("two-enclosures")->build(bus);
  UnplugStripeEnclosure(bus);
  EXPECT_EQ(bus.DriveAt(kStripeDrive), nullptr);
  EXPECT_EQ(bus.LogicalDriveMask() >> (kStripeLetter - 'A') & 1, 0u);
  PlugStripeEnclosure(bus);
  ASSERT_NE(bus.EnclosureAt(kStripeDrive), nullptr);
  EXPECT_EQ(bus.EnclosureAt(kStripeDrive)->Scenario().modeByte, kRawModeStriping);
  EXPECT_EQ(bus.LogicalDriveMask() >> (kStripeLetter - 'A') & 1, 1u);
}

// The file the demo writes must pass every check of "Load Firmware " for
// every enclosure the demo shows, or the upgrade cannot be tried there.
TEST(DemoScenarios, DemoFirmwareFileLoadsForEveryDemoEnclosure) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("pxdemo-firmware-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
       ".bin");
  const std::vector<uint8_t> file = DemoFirmwareFile();
  ASSERT_EQ(file.size(), kDemoFirmwareSize);
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()),
              static_cast<std::streamsize>(file.size()));
  }
  for (const ControllerScenario& scenario : {HealthyMirrorScenario(), RebuildingMirrorScenario(40),
                                             FailedMemberScenario(), StripingScenario()}) {
    // The device's record as discovery keeps it: the identity reply with its
    // version and product copied to bytes 46-53.
    VirtualController controller(scenario);
    Record config = test::Knock(controller, ControllerQuery(kQueryIdentity));
    std::copy_n(config.begin() + reply::kIdentityVersion, 8,
                config.begin() + config::kFirmwareVersion);
    ASSERT_GT(LoadBigEndian(config.data() + config::kFirmwareVersion, 4),
              firmware_file::kProductCheckVersion);

    FirmwareState state;
    px::test::RecordingPanels panels;
    px::test::RecordingMessages messages;
    LoadFirmwareFile(path, config, state, panels, messages);
    EXPECT_TRUE(messages.boxes().empty()) << messages.boxes().front().text;
    EXPECT_EQ(state.FirmwareImage, file);
  }
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace px::sim
