#include "raid/discovery.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/text.h"
#include "raid/record_views.h"
#include "raid_rig.h"
#include "sim/replies.h"

namespace px {
namespace {

using test::Padded;
using test::RaidRig;
using test::Text;

constexpr int kStagePanel = 2;
constexpr int kDrivePanel = 3;
constexpr int kMessagePanel = StatusPanels::kMessagePanel;

sim::ControllerScenario WithProduct(uint8_t low, uint8_t high) {
  sim::ControllerScenario scenario;
  scenario.productCode = {low, high};
  return scenario;
}

std::vector<uint32_t> Slots(const DeviceTable& devices) {
  return std::vector<uint32_t>(devices.DeviceSlot.begin(),
                               devices.DeviceSlot.begin() + devices.DeviceCount);
}

// What sits at each physical drive number: an enclosure with its scenario,
// or a plain disk.
using Bus = std::map<unsigned, std::optional<sim::ControllerScenario>>;

void Populate(RaidRig& rig, const Bus& drives) {
  for (const auto& [drive, enclosure] : drives) {
    if (enclosure) {
      rig.bus.AttachEnclosure(drive, *enclosure);
    } else {
      rig.bus.AttachPlainDisk(drive);
    }
  }
}

TEST(Discovery, FindsEnclosuresByTheirProductCode) {
  const sim::ControllerScenario standard;
  struct Case {
    const char* name;
    Bus drives;
    std::vector<uint32_t> slots;
  } cases[] = {
      {"nothing attached", {}, {}},
      {"enclosures on 1 and 3 of four drives",
       {{0, std::nullopt}, {1, standard}, {2, std::nullopt}, {3, standard}},
       {0x41, 0x43}},
      {"product 05 00 on drive 3", {{3, WithProduct(0x05, 0x00)}}, {0x43}},
      {"product 50 01 is another device", {{0, WithProduct(0x50, 0x01)}}, {}},
      {"product 06 00 is another device", {{0, WithProduct(0x06, 0x00)}}, {}},
      {"only plain disks", {{0, std::nullopt}, {1, std::nullopt}}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RaidRig rig;
    Populate(rig, c.drives);
    EXPECT_EQ(rig.Detect(), c.slots.size());
    EXPECT_EQ(Slots(rig.devices), c.slots);
    EXPECT_EQ(rig.panels.recorded.Last(kStagePanel),
              "De, " + std::to_string(c.slots.size()) + ", OK");
  }
}

// Drive 1 does not open: it is not counted as examined, and once as many
// drives as opened have been examined nothing more is tried.
TEST(Discovery, StopsOnceEveryDriveThatOpenedIsExamined) {
  RaidRig rig;
  rig.bus.AttachPlainDisk(0);
  rig.bus.AttachEnclosure(2);
  rig.bus.AttachEnclosure(5);
  rig.bus.SetOpenFails(5, true);
  EXPECT_EQ(rig.Detect(), 1U);
  EXPECT_EQ(rig.detection.PhysicalDriveCount.load(), 2U);
  EXPECT_EQ(rig.panels.recorded.TextsOf(kDrivePanel),
            (std::vector<std::string>{"0", "0, 1OK", "1", "2", "2, 1OK"}));
  EXPECT_EQ(rig.panels.recorded.TextsOf(kStagePanel),
            (std::vector<std::string>{"Mode 1", "Mode 2", "Mode 1", "Mode 2", "De, 1, OK"}));
  EXPECT_EQ(Slots(rig.devices), std::vector<uint32_t>{0x42});
}

TEST(Discovery, DeviceNameComesFromInquiryWithSpacesCollapsed) {
  struct Case {
    std::string vendor, product, name;
  } cases[] = {
      {"AB  CD", "X   Y", "AB CD X Y"},
      {"PX", "SATA RAID Box", "PX SATA RAID Box"},
      {"  LEAD", "ING", " LEAD ING"},
      {"ABCDEFGH", "IJKLMNOPQRSTUVWX", "ABCDEFGHIJKLMNOPQRSTUVWX"},
      {"A B", "C", "A B C"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.vendor + "|" + c.product);
    RaidRig rig;
    sim::ControllerScenario scenario;
    scenario.inquiry = {c.vendor, c.product, "0100"};
    rig.bus.AttachEnclosure(1, scenario);
    ASSERT_EQ(rig.Detect(), 1U);
    const Record& config = rig.ConfigOf(1);
    // Kept in ATA order, as the display swaps it back.
    const std::span<const uint8_t> name(config.data() + config::kDeviceName,
                                        config::kDeviceNameSize);
    EXPECT_EQ(SwapPairs(name), Padded(c.name, 40));
  }
}

// Commands the bus sees before the first INQUIRY of a detection.
uint64_t CommandsBeforeInquiry(const sim::ControllerScenario& scenario, unsigned drive) {
  RaidRig rig;
  rig.bus.AttachEnclosure(drive, scenario);
  rig.Detect();
  const auto trace = rig.bus.Trace();
  const auto inquiry = std::find_if(trace.begin(), trace.end(),
                                    [](const sim::TraceEntry& e) { return e.opcode == 0x12; });
  return static_cast<uint64_t>(inquiry - trace.begin());
}

// From the INQUIRY on the enclosure stops answering at all: it is still
// added, with the controller's own name bytes and the revision it gave.
TEST(Discovery, InquiryFailureStillAddsTheDevice) {
  const sim::ControllerScenario scenario;
  const uint64_t before = CommandsBeforeInquiry(scenario, 3);
  RaidRig rig;
  rig.bus.AttachEnclosure(3, scenario);
  rig.bus.FailCommandsAfter(before);
  EXPECT_EQ(rig.Detect(), 1U);
  EXPECT_EQ(Slots(rig.devices), std::vector<uint32_t>{0x43});
  const auto messages = rig.panels.recorded.TextsOf(kMessagePanel);
  EXPECT_NE(std::find(messages.begin(), messages.end(), "Inquiry fail at DEVICE3"), messages.end());
  const sim::Sector identity = sim::MakeQueryReply(scenario, kQueryIdentity);
  EXPECT_EQ(Text(rig.ConfigOf(3), config::kDeviceName, config::kDeviceNameSize),
            Text(identity, config::kDeviceName, config::kDeviceNameSize));
  const Record& status = rig.StatusOf(3);
  EXPECT_NE(status[status::kType], kRecordValid) << "the status query failed too";
  EXPECT_EQ(status[status::kRevisionMark], kRevisionPresent);
  EXPECT_EQ(Text(status, status::kRevision, 3), "\x01\x01\x03");
}

TEST(Discovery, StatusRecordOfANewEnclosure) {
  struct Case {
    const char* name;
    uint8_t modeByte;
    uint8_t p0State;
    sim::ProgressScenario progress;
    bool revisionSupplied;
    uint64_t volumeCapacity;
    uint8_t percent;
    bool progressPending;
  } cases[] = {
      {"healthy mirror", 2, 0, {false, 1000, 0}, true, 1000, 0, false},
      {"mirror rebuilding 7 of 10", 2, 1, {true, 10, 7}, true, 10, 70, true},
      // 4 TB members: the position is past 2 TiB, beyond 32 bits.
      {"mirror rebuilding past 2 TiB",
       2,
       1,
       {true, 7814037168, 5860527876},
       true,
       7814037168,
       75,
       true},
      {"rebuild with a total of 0", 2, 1, {true, 0, 7}, true, 0, 0, true},
      // No percentage: a record new to the drive has none to keep (355 %
      // would have been 99).
      {"rebuild past its total", 2, 1, {true, 100, 355}, true, 100, 0, true},
      {"striping: twice the smaller member", 1, 0, {false, 1000, 0}, true, 1600, 0, false},
      {"JBOD without revision bytes", 0, 0, {false, 1000, 0}, false, 1600, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RaidRig rig;
    sim::ControllerScenario scenario;
    scenario.modeByte = c.modeByte;
    scenario.p0.state = c.p0State;
    scenario.p0.capacitySectors = 800;
    scenario.p1.capacitySectors = 900;
    scenario.progress = c.progress;
    scenario.revisionSupplied = c.revisionSupplied;
    scenario.revision = {0x07, 0x08, 0x09};
    scenario.identityBytes94 = {0xAB, 0xCD};
    rig.bus.AttachEnclosure(4, scenario);
    ASSERT_EQ(rig.Detect(), 1U);
    const Record& s = rig.StatusOf(4);
    EXPECT_EQ(s[status::kDrive], 4);
    EXPECT_EQ(s[status::kType], kRecordValid);
    EXPECT_EQ(LoadLittleEndian(s.data() + status::kVolumeCapacity, 6), c.volumeCapacity);
    EXPECT_EQ(s[status::kProgress], c.percent);
    EXPECT_EQ(rig.enclosures[EnclosureSlot{0}].progressPending, c.progressPending);
    EXPECT_EQ(rig.enclosures[EnclosureSlot{0}].revisionPending, c.revisionSupplied);
    if (c.revisionSupplied) {
      EXPECT_EQ(s[status::kRevisionMark], kRevisionPresent);
      EXPECT_EQ(Text(s, status::kRevision, 3), "\x09\x08\x07");
    } else {
      EXPECT_EQ(s[status::kRevisionMark], kRevisionMissing);
    }
    // The firmware version and product code over the identity reply's own.
    const Record& config = rig.ConfigOf(4);
    EXPECT_EQ(LoadBigEndian(config.data() + config::kFirmwareVersion, 4), scenario.firmwareVersion);
    EXPECT_EQ(config[config::kProductCode], 0x50);
    // All eight bytes of the field, the two after the product code too.
    const auto version = ConfigRecordView(config).VersionField();
    EXPECT_EQ(std::vector<uint8_t>(version.begin(), version.end()),
              (std::vector<uint8_t>{0x14, 0x03, 0x18, 0x15, 0x50, 0x00, 0xAB, 0xCD}));
  }
}

// The controller is left 200 ms before every query of a probe but the
// first.
// A detection again, while the rebuild runs, whose progress reading is past
// its total: the drive's record keeps the percentage last read.
TEST(Discovery, AReadingPastTheTotalKeepsTheDrivesLastPercentage) {
  RaidRig rig;
  sim::ControllerScenario rebuilding;
  rebuilding.p1.state = 1;
  rebuilding.progress = {true, 10, 7};
  const auto enclosure = rig.bus.AttachEnclosure(3, rebuilding);
  ASSERT_EQ(rig.Detect(), 1U);
  enclosure->UpdateScenario([](sim::ControllerScenario& s) { s.progress = {true, 10, 11}; });
  ASSERT_EQ(rig.Detect(), 1U);
  EXPECT_EQ(rig.StatusOf(3)[status::kProgress], 70);
  EXPECT_TRUE(rig.enclosures[EnclosureSlot{0}].progressPending);
}

TEST(Discovery, PausesBeforeEachQuery) {
  RaidRig rig;
  rig.bus.AttachEnclosure(3);  // a mirror: presence, identity, status, progress
  ASSERT_EQ(rig.Detect(), 1U);
  const std::vector<uint64_t> pauses = test::PausesBeforeQueries(rig.bus.Trace(), 0);
  ASSERT_EQ(pauses.size(), 4U);
  EXPECT_THAT(std::vector<uint64_t>(pauses.begin() + 1, pauses.end()),
              ::testing::Each(::testing::Ge(200U)));
}

// A member that is no longer ready keeps its texts only when the record
// already belonged to this drive: its drive byte says so, and its status was
// read.
TEST(Discovery, MemberTextsOfAPortThatIsOffDependOnWhoseRecordItWas) {
  struct Case {
    const char* name;
    std::size_t byte;  // of the record, changed after the first detection
    uint8_t value;
    bool sameDrive;
  } cases[] = {
      {"same drive", status::kDrive, 2, true},
      {"record of another drive", status::kDrive, 7, false},
      {"this drive's, but never read", status::kType, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RaidRig rig;
    sim::ControllerScenario scenario;
    scenario.p1.model = "OLD MODEL";
    const auto controller = rig.bus.AttachEnclosure(2, scenario);
    ASSERT_EQ(rig.Detect(), 1U);
    rig.StatusOf(2)[c.byte] = c.value;
    controller->UpdateScenario([](sim::ControllerScenario& s) {
      s.p1.state = 4;
      s.p1.model = "NEW MODEL";
    });
    ASSERT_EQ(rig.Detect(), 1U);
    const std::span<const uint8_t> model(rig.StatusOf(2).data() + status::kP1Model, 40);
    EXPECT_EQ(SwapPairs(model), Padded(c.sameDrive ? "OLD MODEL" : "", 40));
    EXPECT_EQ(LoadLittleEndian(rig.StatusOf(2).data() + status::kP1Capacity, 6),
              c.sameDrive ? sim::kOneTerabyteSectors : 0U);
  }
}

// Discovery believes only replies the controller sent, and does not take an
// enclosure another program holds for a plain disk.
TEST(Discovery, UnansweredQueriesAndBusyDrives) {
  struct Case {
    const char* name;
    std::optional<uint8_t> faultedQuery;  // answered with status 0x00
    bool heldElsewhere;
    std::vector<uint32_t> slots;
    bool statusRead;
  } cases[] = {
      {"identity answered 0x00", kQueryIdentity, false, {}, false},
      {"status answered 0x00", kQueryStatus, false, {0x41}, false},
      {"held by another program", std::nullopt, true, {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RaidRig rig;
    rig.bus.AttachPlainDisk(0);
    auto enclosure = rig.bus.AttachEnclosure(1);
    if (c.faultedQuery) enclosure->AddCommandFault({*c.faultedQuery, std::nullopt, 1, 0x00});
    if (c.heldElsewhere) rig.bus.TryClaimDrive(PhysicalDrive(1), ClaimPurpose::Commands);
    const DetectionReport found = rig.discovery.DetectNow();
    EXPECT_EQ(Slots(rig.devices), c.slots);
    EXPECT_EQ(found.enclosures, c.slots.size());
    EXPECT_EQ(found.busyDrives, c.heldElsewhere ? 0x02 : 0) << "the report names the held drive";
    EXPECT_EQ(found.physicalDrives, 2U);
    EXPECT_EQ(rig.StatusOf(1)[status::kType] == kRecordValid, c.statusRead);
    EXPECT_EQ(rig.detection.BusyDrives.load(), c.heldElsewhere ? 0x02 : 0);
    EXPECT_EQ(rig.panels.recorded.Last(kMessagePanel),
              c.heldElsewhere ? "Drive 1 is busy: another program is using it." : "");
  }
}

TEST(Discovery, ClosingMidProbeReturnsWhatWasFound) {
  RaidRig rig;
  for (unsigned drive : {0U, 1U, 2U}) rig.bus.AttachEnclosure(drive);
  rig.panels.hook = [&rig](int panel, std::string_view text) {
    if (panel == kDrivePanel && text == "1, 1OK") rig.flags.closing = true;
  };
  EXPECT_EQ(rig.Detect(), 1U);
  EXPECT_EQ(Slots(rig.devices), std::vector<uint32_t>{0x40});
  EXPECT_TRUE(rig.bus.ReadLbas(2).empty());
  EXPECT_EQ(rig.panels.recorded.Last(kStagePanel), "Mode 2") << "no summary after closing";
}

TEST(Discovery, TheDeviceTableStopsAtEightEntries) {
  RaidRig rig;
  for (unsigned drive = 0; drive < 10; ++drive) rig.bus.AttachEnclosure(drive);
  EXPECT_EQ(rig.Detect(), 8U);
  EXPECT_EQ(Slots(rig.devices),
            (std::vector<uint32_t>{0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47}));
  EXPECT_TRUE(rig.bus.ReadLbas(8).empty());
  EXPECT_TRUE(rig.bus.ReadLbas(9).empty());
}

// The device under firmware work keeps its entry without a knock, but only
// once the first display is over. It is the drive its slot's entry names,
// which is not the drive of the slot's number when a plain disk comes first.
TEST(Discovery, TheDriveUnderFirmwareWorkIsLeftAloneAfterTheFirstDisplay) {
  const sim::ControllerScenario enclosure;
  const Bus enclosuresFirst{{0, enclosure}, {1, enclosure}};
  const Bus plainDiskFirst{{0, std::nullopt}, {1, enclosure}, {2, std::nullopt}, {3, enclosure}};
  struct Case {
    const char* name;
    Bus drives;
    uint32_t upgradeSlot;
    unsigned keptDrive;
    std::vector<uint32_t> slots;
  } cases[] = {
      {"enclosures first, slot 1", enclosuresFirst, 1, 1, {0x40, 0x41}},
      {"a plain disk first, slot 0", plainDiskFirst, 0, 1, {0x41, 0x43}},
      {"a plain disk first, slot 1", plainDiskFirst, 1, 3, {0x41, 0x43}},
  };
  for (const Case& c : cases) {
    for (bool firstDisplay : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (firstDisplay ? ", first display pending" : ""));
      RaidRig rig;
      Populate(rig, c.drives);
      ASSERT_EQ(rig.Detect(), 2U);
      rig.monitor.FirstDisplay = firstDisplay;
      rig.devices.UpgradeSlot = c.upgradeSlot;
      rig.bus.ClearTrace();
      EXPECT_EQ(rig.Detect(), 2U);
      EXPECT_EQ(Slots(rig.devices), c.slots);
      EXPECT_EQ(rig.bus.ReadLbas(c.keptDrive).empty(), !firstDisplay);
      for (const auto& [drive, scenario] : c.drives) {
        if (drive != c.keptDrive) {
          EXPECT_FALSE(rig.bus.ReadLbas(drive).empty()) << drive;
        }
      }
    }
  }
}

// What a detection leaves behind for the window and the poll.
struct Leftovers {
  std::vector<uint32_t> slots;
  std::array<Record, kPhysicalDrives> status;
  std::array<Record, kPhysicalDrives> config;
  std::array<bool, kDeviceSlots> revisionPending;
  std::array<bool, kDeviceSlots> progressPending;
  uint16_t busyDrives;
  std::vector<test::RecordingPanels::Entry> texts;
  friend bool operator==(const Leftovers&, const Leftovers&) = default;
};

Leftovers LeftoversOf(const RaidRig& rig) {
  Leftovers left{Slots(rig.devices),
                 rig.records.StatusRecord,
                 rig.records.ConfigRecord,
                 {},
                 {},
                 rig.detection.BusyDrives.load(),
                 rig.panels.recorded.entries()};
  for (std::size_t i = 0; i < kDeviceSlots; ++i) {
    left.revisionPending[i] = rig.enclosures[EnclosureSlot{i}].revisionPending;
    left.progressPending[i] = rig.enclosures[EnclosureSlot{i}].progressPending;
  }
  return left;
}

// Side by side every drive is probed on a thread of its own; the tables, the
// records, the flags and every status-bar text in its order must still be
// what probing one drive after another leaves. Asked for one drive only,
// neither way sends a command to any other.
TEST(Discovery, SideBySideLeavesWhatOneByOneLeaves) {
  const sim::ControllerScenario standard;
  sim::ControllerScenario rebuilding;
  rebuilding.p0.state = 1;
  rebuilding.progress = {true, 10, 7};
  sim::ControllerScenario jbodWithoutRevision;
  jbodWithoutRevision.modeByte = 0;
  jbodWithoutRevision.revisionSupplied = false;
  const Bus mixed{{0, std::nullopt},        {1, standard},
                  {2, std::nullopt},        {3, rebuilding},
                  {4, jbodWithoutRevision}, {5, WithProduct(0x06, 0x00)},
                  {6, std::nullopt}};
  Bus allEnclosures;
  for (unsigned drive = 0; drive < 10; ++drive) allEnclosures[drive] = standard;
  struct Layout {
    const char* name;
    Bus drives;
    std::function<void(RaidRig&)> setUp;
    std::optional<PhysicalDrive> onlyDrive;
    std::size_t enclosures;
  } layouts[] = {
      {"nothing attached", {}, nullptr, std::nullopt, 0},
      {"plain disks only",
       {{0, std::nullopt}, {1, std::nullopt}, {2, std::nullopt}},
       nullptr,
       std::nullopt,
       0},
      {"enclosures of every kind among plain disks", mixed, nullptr, std::nullopt, 3},
      {"a drive that does not open", mixed, [](RaidRig& rig) { rig.bus.SetOpenFails(2, true); },
       std::nullopt, 3},
      {"ten enclosures for eight slots", allEnclosures, nullptr, std::nullopt, 8},
      {"one held by another program", mixed,
       [](RaidRig& rig) { rig.bus.TryClaimDrive(PhysicalDrive(3), ClaimPurpose::Commands); },
       std::nullopt, 2},
      {"a knock read fails on one drive", mixed,
       [](RaidRig& rig) { rig.bus.FailReadsAt(0x1EF, 4U); }, std::nullopt, 2},
      {"an identity answered 0x00", mixed,
       [](RaidRig& rig) {
         rig.bus.EnclosureAt(1)->AddCommandFault({kQueryIdentity, std::nullopt, 1, 0x00});
       },
       std::nullopt, 2},
      {"a device under firmware work keeps its slot", mixed,
       [](RaidRig& rig) {
         rig.Detect();
         rig.FirstDisplayDone();
         rig.devices.UpgradeSlot = 1;
       },
       std::nullopt, 3},
      {"only drive 3 asked", mixed, nullptr, PhysicalDrive(3), 1},
      {"only a plain disk asked", mixed, nullptr, PhysicalDrive(2), 0},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    std::array<Leftovers, 2> left;
    for (const ProbeOrder order : {ProbeOrder::OneByOne, ProbeOrder::SideBySide}) {
      RaidRig rig;
      Populate(rig, layout.drives);
      if (layout.setUp) layout.setUp(rig);
      rig.bus.ClearTrace();
      rig.panels.recorded.Clear();
      rig.discovery.DetectNow({order, layout.onlyDrive});
      left[static_cast<std::size_t>(order)] = LeftoversOf(rig);
      if (layout.onlyDrive) {
        for (const sim::TraceEntry& command : rig.bus.Trace()) {
          EXPECT_EQ(command.drive, layout.onlyDrive->number());
        }
      }
    }
    EXPECT_EQ(left[0].slots.size(), layout.enclosures);
    EXPECT_TRUE(left[1] == left[0]);
    EXPECT_EQ(left[1].slots, left[0].slots);
    EXPECT_EQ(left[1].texts, left[0].texts);
  }
}

TEST(Discovery, VolumesBehindTheDriveLetters) {
  RaidRig rig;
  rig.bus.AddVolume({'C', kDriveFixed, 0, 1048576, 5000});
  rig.bus.AddVolume({'E', kDriveFixed, 1, 2048, 6000});
  rig.bus.AddVolume({'F', kDriveRemovable, 3, 4096, 7000, false, true});
  rig.Detect();
  EXPECT_EQ(rig.detection.LetterCount.load(), 3U);
  std::lock_guard lock(rig.detection.volumesMutex);
  EXPECT_EQ(std::string(rig.detection.DriveLetters.data()), "CEF");
  const auto& table = rig.detection.VolumeTable;
  EXPECT_EQ(table[0].Letter, 'C');
  EXPECT_EQ(table[0].DriveType, kDriveFixed);
  EXPECT_EQ(table[0].StartingOffset, 1048576U);
  EXPECT_EQ(table[1].DiskNumber, 1);
  EXPECT_EQ(table[1].ExtentLength, 6000U);
  EXPECT_EQ(table[2].Letter, 'F');
  EXPECT_EQ(table[2].DriveType, kVolumeOpenFailed);
  EXPECT_TRUE(rig.messages.boxes().empty());
}

TEST(Discovery, AVolumeWithoutOneExtentKeepsThePreviousExtent) {
  RaidRig rig;
  rig.bus.AddVolume({'D', kDriveFixed, 2, 512, 9000});
  rig.Detect();
  rig.bus.AddVolume({'D', kDriveRemovable, 5, 1024, 1, true});
  rig.Detect();
  std::lock_guard lock(rig.detection.volumesMutex);
  const VolumeEntry& d = rig.detection.VolumeTable[0];
  EXPECT_EQ(d.DriveType, kDriveRemovable);
  EXPECT_EQ(d.DiskNumber, 2);
  EXPECT_EQ(d.StartingOffset, 512U);
  EXPECT_EQ(d.ExtentLength, 9000U);
}

TEST(Discovery, MoreThanTwentyLettersAreReportedOnceAndTwentyDescribed) {
  RaidRig rig;
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    rig.bus.AddVolume({letter, kDriveFixed, 0, 0, 100});
  }
  rig.Detect();
  EXPECT_EQ(rig.detection.LetterCount.load(), 24U);
  EXPECT_EQ(rig.messages.boxes(), (std::vector<test::RecordingMessages::Box>{
                                      {"", "Drive Count Must less than 20.", MessageIcon::None}}));
  std::lock_guard lock(rig.detection.volumesMutex);
  EXPECT_EQ(rig.detection.VolumeTable[19].Letter, 'V');
}

}  // namespace
}  // namespace px
