#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "firmware_rig.h"

namespace px {
namespace {

using test::FirmwareRig;
using test::Pattern;

enum class Stage { Backup, Erase, Program, Verify };
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
    case Stage::Backup:
      return {0x20, 0x64, 0};
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

// Every fault at every stage of an upgrade, and of the backup read before
// it: whatever happens, the upgrade never says "completed" unless the flash
// holds the image, a backup is never taken from pages that were not read,
// and everything ends with the firmware bracket closed, the enclosure let go
// and the upgrade slot back at "none".
TEST(FaultCampaign, NoUpgradeCompletesWithTheFlashDifferentFromTheImage) {
  const std::string completed = "completed";
  struct Case {
    Stage stage;
    Fault fault;
    std::string outcome;  // the message panel's last text, or "completed"
  } cases[] = {
      {Stage::Backup, Fault::NoReply, "ReadSPI fail, Address = 3200"},
      {Stage::Backup, Fault::Status00, "ReadSPI fail, Address = 3200"},
      {Stage::Backup, Fault::WrongTail, "ReadSPI fail, Address = 3200"},
      {Stage::Backup, Fault::Removed, "ReadSPI fail, Address = 3180"},
      {Stage::Backup, Fault::FlippedBit, "the backup differs from the flash"},
      {Stage::Backup, Fault::OtherProgram, completed},
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
    static constexpr const char* kStages[] = {"backup", "erase", "program", "verify"};
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
    std::optional<uint8_t> otherAnswer;

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
            otherAnswer = other.QueryController(FirmwareRig::kDrive, 0x17, reply).code;
          }
          break;
        default:
          break;
      }
    };
    if (c.stage == Stage::Backup) {
      // A backup is whole and true, or there is none; only then may the
      // upgrade go on.
      const std::vector<uint8_t> flash = rig.Flash(0, kFlashSize);
      const std::optional<std::vector<uint8_t>> backup = rig.work.ReadFlashBackup(0);
      if (!backup) {
        EXPECT_EQ(rig.panels.Last(StatusPanels::kMessagePanel), c.outcome) << name;
      } else if (*backup != flash) {
        EXPECT_EQ("the backup differs from the flash", c.outcome) << name;
      } else {
        EXPECT_EQ(completed, c.outcome) << name;
      }
      if (c.fault == Fault::OtherProgram) {
        EXPECT_EQ(otherAnswer, kResultDriveBusy) << name;
      }
      EXPECT_FALSE(rig.flags.firmwareBusy) << name;
      EXPECT_EQ(rig.devices.UpgradeSlot, kNoSlot) << name;
      EXPECT_EQ(rig.bus.OpenHandleCount(), 0u) << name;
      EXPECT_NE(rig.bus.TryClaimDrive(FirmwareRig::kDrive, ClaimPurpose::Commands), kClaimRefused)
          << name;
      continue;
    }
    rig.Upgrade(0);

    const auto boxes = rig.messages.boxes();
    ASSERT_FALSE(boxes.empty()) << name;
    const bool wasCompleted = boxes.back().title == "Firmware Upgrade Message";
    const bool flashHoldsImage = rig.Flash(0, kFlashSize) == image;
    EXPECT_EQ(wasCompleted ? completed : rig.panels.Last(StatusPanels::kMessagePanel), c.outcome)
        << name;
    EXPECT_TRUE(!wasCompleted || flashHoldsImage) << name << ": completed with a wrong flash";
    if (c.fault == Fault::OtherProgram) {
      EXPECT_EQ(otherAnswer, kResultDriveBusy) << name << ": the other program must wait";
    }
    EXPECT_FALSE(rig.flags.firmwareBusy) << name;
    EXPECT_EQ(rig.devices.UpgradeSlot, kNoSlot) << name;
    EXPECT_EQ(rig.bus.OpenHandleCount(), 0u) << name;
    const ClaimToken after = rig.bus.TryClaimDrive(FirmwareRig::kDrive, ClaimPurpose::Commands);
    EXPECT_NE(after, kClaimRefused) << name << ": the enclosure must be let go";
  }
}

}  // namespace
}  // namespace px
