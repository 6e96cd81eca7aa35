#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>

#include "firmware_rig.h"
#include "support/channel_outcome.h"

namespace px {
namespace {

using test::FirmwareRig;
using test::Pattern;

enum class Stage { Erase, Program, Verify };
enum class Fault { NoReply, Status00, WrongTail, Removed, FlippedBit, OtherProgram, ZeroPage00 };

// Where each stage is hit: the SPI command byte, the page (in the middle of
// the flash range, where an all-zero page of the image lies), and how many
// SPI commands the controller carried before that stage began.
struct StageAt {
  uint8_t c0;
  uint16_t page;
  std::size_t firstCommand;
};
StageAt At(Stage stage) {
  switch (stage) {
    case Stage::Erase:
      return {0x23, 0x60, 0};
    case Stage::Program:
      return {0x25, 0x64, 15};
    case Stage::Verify:
      return {0x20, 0x64, 15 + 480};
  }
  return {};
}
constexpr uint32_t kZeroPageAddress = 0x64 * kSpiPageSize;

// Every fault at every stage of an upgrade: whatever happens, the upgrade
// never says "completed" unless the flash holds the image, and everything
// ends with the firmware bracket closed, the enclosure let go and the
// upgrade slot back at "none".
TEST(FaultCampaign, NoUpgradeCompletesWithTheFlashDifferentFromTheImage) {
  const std::string completed = "completed";
  struct Case {
    Stage stage;
    Fault fault;
    std::string outcome;  // the message panel's last text, or "completed"
  } cases[] = {
      {Stage::Erase, Fault::NoReply, "SPI Erase Fail."},
      {Stage::Erase, Fault::Status00, "SPI Verify fail !!!"},
      {Stage::Erase, Fault::WrongTail, "SPI Erase Fail."},
      {Stage::Erase, Fault::Removed, "SPI Erase Fail."},
      {Stage::Erase, Fault::FlippedBit, "SPI Verify fail !!!"},
      {Stage::Erase, Fault::OtherProgram, completed},
      {Stage::Program, Fault::NoReply, "SPI Program Fail."},
      {Stage::Program, Fault::Status00, "SPI Verify fail !!!"},
      {Stage::Program, Fault::WrongTail, "SPI Program Fail."},
      {Stage::Program, Fault::Removed, "SPI Program Fail."},
      {Stage::Program, Fault::FlippedBit, "SPI Verify fail !!!"},
      {Stage::Program, Fault::OtherProgram, completed},
      {Stage::Verify, Fault::NoReply, "ReadSPI fail, Address = 3200"},
      {Stage::Verify, Fault::Status00, "ReadSPI fail, Address = 3200"},
      {Stage::Verify, Fault::WrongTail, "ReadSPI fail, Address = 3200"},
      // Gone while the page before it waits for its reply.
      {Stage::Verify, Fault::Removed, "ReadSPI fail, Address = 3180"},
      {Stage::Verify, Fault::FlippedBit, "SPI Verify fail !!!"},
      {Stage::Verify, Fault::OtherProgram, completed},
      // The page was never programmed, and its read-back was never copied:
      // zeros left in a buffer must not pass for zeros read from the flash.
      {Stage::Verify, Fault::ZeroPage00, "ReadSPI fail, Address = 3200"},
  };
  for (const auto& c : cases) {
    static constexpr const char* kStages[] = {"erase", "program", "verify"};
    static constexpr const char* kFaults[] = {"no reply",
                                              "status 0x00",
                                              "wrong tail signature",
                                              "device removed",
                                              "flipped bit",
                                              "other program",
                                              "zero page never programmed nor read"};
    const std::string name = std::string(kStages[static_cast<int>(c.stage)]) + " / " +
                             kFaults[static_cast<int>(c.fault)];
    FirmwareRig rig;
    std::vector<uint8_t> image = Pattern(kFlashSize);
    std::fill_n(image.begin() + kZeroPageAddress, kSpiPageSize, 0x00);
    rig.state.ReplaceImage(image);
    rig.enclosure->SetFlash(0, Pattern(kFlashSize, 9));
    const StageAt at = At(c.stage);

    // Another program on the same machine: its own channel, the same disks.
    sim::FakeClock otherClock;
    test::RecordingPanels otherPanels;
    DeviceAccess otherAccess{rig.bus, otherPanels};
    AppFlags otherFlags;
    CommandChannel other{otherAccess, otherClock, nullptr, otherFlags};
    std::optional<std::string> otherAnswer;

    switch (c.fault) {
      case Fault::NoReply:
        rig.enclosure->AddCommandFault({at.c0, at.page, kSpiAttempts, std::nullopt});
        break;
      case Fault::Status00:
        rig.enclosure->AddCommandFault({at.c0, at.page, kSpiAttempts, 0x00});
        break;
      case Fault::ZeroPage00:
        rig.enclosure->AddCommandFault({0x25, at.page, kSpiAttempts, 0x00});
        rig.enclosure->AddCommandFault({0x20, at.page, kSpiAttempts, 0x00});
        break;
      default:
        break;
    }
    rig.onPump = [&] {
      // Mid-stage: once the controller has carried the steps before the
      // block or page that holds the zero page.
      const std::size_t step = c.stage == Stage::Erase ? at.page / 32 : at.page;
      if (rig.enclosure->CommandCount() != at.firstCommand + step) return;
      switch (c.fault) {
        case Fault::WrongTail:
          rig.enclosure->UpdateFaults(
              [](sim::ControllerFaults& f) { f.wrongTailSignature = true; });
          break;
        case Fault::Removed:
          rig.bus.Detach(FirmwareRig::kDrive);
          break;
        case Fault::FlippedBit:
          rig.enclosure->UpdateFaults([](sim::ControllerFaults& f) {
            f.flippedBit = sim::FlippedBit{kZeroPageAddress + 5, 0x10};
          });
          break;
        case Fault::OtherProgram:
          if (!otherAnswer) {
            Reply reply{};
            otherAnswer =
                Outcome(other.QueryController(PhysicalDrive(FirmwareRig::kDrive), 0x17, reply));
          }
          break;
        default:
          break;
      }
    };
    rig.Upgrade(EnclosureSlot{0});

    const auto boxes = rig.messages.boxes();
    ASSERT_FALSE(boxes.empty()) << name;
    const bool wasCompleted = boxes.back().title == "Firmware Upgrade Message";
    const bool flashHoldsImage = rig.Flash(0, kFlashSize) == image;
    EXPECT_EQ(wasCompleted ? completed : rig.panels.Last(StatusPanels::kMessagePanel), c.outcome)
        << name;
    EXPECT_TRUE(!wasCompleted || flashHoldsImage) << name << ": completed with a wrong flash";
    if (c.fault == Fault::OtherProgram) {
      EXPECT_EQ(otherAnswer, "DriveBusy") << name << ": the other program must wait";
    }
    EXPECT_FALSE(rig.flags.firmwareBusy) << name;
    EXPECT_EQ(rig.devices.UpgradeSlot, kNoSlot) << name;
    EXPECT_EQ(rig.bus.OpenHandleCount(), 0u) << name;
    const ClaimToken after =
        rig.bus.TryClaimDrive(PhysicalDrive(FirmwareRig::kDrive), ClaimPurpose::Commands);
    EXPECT_NE(after, kClaimRefused) << name << ": the enclosure must be let go";
  }
}

// Every fault of the backup read an upgrade makes before it erases: a
// backup is the flash as it is, or there is none and the upgrade never
// starts; only page reads reach the enclosure, and everything is let go.
// A bit flipped on some reads is outvoted by two reads that agree; one whose
// reads never settle fails the backup. (A bit wrong on every read is what
// the flash reads as: no count of reads tells it from the flash, and the
// upgrade's verify is what catches such a line.)
TEST(FaultCampaign, ABackupIsTheFlashOrThereIsNone) {
  constexpr uint16_t kPage = 0x64;
  constexpr uint32_t kByte = kZeroPageAddress + 5;
  const std::string right = "the flash";
  struct Case {
    const char* name;
    std::function<void(FirmwareRig&, std::optional<std::string>&, CommandChannel&)> arrange;
    std::string outcome;  // `right`, or the message panel's last text
    bool otherAsks = false;
  };
  // Once the controller has carried `commands` SPI commands.
  const auto after = [](FirmwareRig& rig, std::size_t commands, std::function<void()> strike) {
    rig.onPump = [&rig, commands, strike] {
      if (rig.enclosure->CommandCount() == commands) strike();
    };
  };
  const auto flip = [](FirmwareRig& rig, sim::FlippedBit bit) {
    rig.enclosure->UpdateFaults([bit](sim::ControllerFaults& f) { f.flippedBit = bit; });
  };
  const std::vector<Case> cases{
      {"flipped on the first pass's read",
       [&](FirmwareRig& rig, auto&, auto&) {
         flip(rig, {kByte, 0x10, 1});
       },
       right},
      {"flipped on the second pass's read",
       [&](FirmwareRig& rig, auto&, auto&) {
         after(rig, 480 + kPage, [&rig, &flip] { flip(rig, {kByte, 0x10, 1}); });
       },
       right},
      {"flipped on every other of the first three reads: the fifth agrees",
       [&](FirmwareRig& rig, auto&, auto&) {
         flip(rig, {kByte, 0x10, 3, true});
       },
       right},
      {"flipped on every other read: none agree",
       [&](FirmwareRig& rig, auto&, auto&) {
         flip(rig, {kByte, 0x10, 0, true});
       },
       "Backup fail, no two reads agree, Address = 3200"},
      {"no reply",
       [&](FirmwareRig& rig, auto&, auto&) {
         rig.enclosure->AddCommandFault({0x20, kPage, kSpiAttempts, std::nullopt});
       },
       "ReadSPI fail, Address = 3200"},
      {"status 0x00",
       [&](FirmwareRig& rig, auto&, auto&) {
         rig.enclosure->AddCommandFault({0x20, kPage, kSpiAttempts, 0x00});
       },
       "ReadSPI fail, Address = 3200"},
      {"wrong tail signature",
       [&](FirmwareRig& rig, auto&, auto&) {
         after(rig, kPage, [&rig] {
           rig.enclosure->UpdateFaults(
               [](sim::ControllerFaults& f) { f.wrongTailSignature = true; });
         });
       },
       "ReadSPI fail, Address = 3200"},
      {"device removed",
       [&](FirmwareRig& rig, auto&, auto&) {
         after(rig, kPage, [&rig] { rig.bus.Detach(FirmwareRig::kDrive); });
       },
       "ReadSPI fail, Address = 3180"},
      {"other program",
       [&](FirmwareRig& rig, std::optional<std::string>& answer, CommandChannel& other) {
         after(rig, kPage, [&answer, &other] {
           if (answer) return;
           Reply reply{};
           answer = Outcome(other.QueryController(PhysicalDrive(FirmwareRig::kDrive), 0x17, reply));
         });
       },
       right, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FirmwareRig rig;
    const std::vector<uint8_t> flash = Pattern(kFlashSize, 9);
    rig.enclosure->SetFlash(0, flash);

    // Another program on the same machine: its own channel, the same disks.
    sim::FakeClock otherClock;
    test::RecordingPanels otherPanels;
    DeviceAccess otherAccess{rig.bus, otherPanels};
    AppFlags otherFlags;
    CommandChannel other{otherAccess, otherClock, nullptr, otherFlags};
    std::optional<std::string> otherAnswer;
    c.arrange(rig, otherAnswer, other);

    const BackupOutcome read = rig.work.ReadFlashBackup(EnclosureSlot{0});
    const std::optional<std::vector<uint8_t>>& backup = read.bytes;
    if (backup) {
      EXPECT_EQ(*backup == flash ? right : "a wrong backup", c.outcome);
      EXPECT_EQ(read.message, "");
    } else {
      EXPECT_EQ(rig.panels.Last(StatusPanels::kMessagePanel), c.outcome);
      EXPECT_EQ(read.message, c.outcome) << "the outcome says what the panel shows";
    }
    for (const auto& [c0, page] : rig.SpiCommands()) EXPECT_EQ(c0, 0x20) << "only page reads";
    if (c.otherAsks) {
      EXPECT_EQ(otherAnswer, "DriveBusy") << "the other program must wait";
    }
    EXPECT_FALSE(rig.flags.firmwareBusy);
    EXPECT_EQ(rig.devices.UpgradeSlot, kNoSlot);
    EXPECT_EQ(rig.bus.OpenHandleCount(), 0u);
    EXPECT_NE(rig.bus.TryClaimDrive(PhysicalDrive(FirmwareRig::kDrive), ClaimPurpose::Commands),
              kClaimRefused);
  }
}

}  // namespace
}  // namespace px
