#include "firmware/upgrade.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "firmware_rig.h"
#include "support/channel_outcome.h"

namespace px {
namespace {

using test::FirmwareRig;
using test::Pattern;
using Box = test::RecordingMessages::Box;

const Box kCompletedBox{"Firmware Upgrade Message",
                        "Firmware Upgrade 4/4 completed!\n\nPlease power off this device or the "
                        "system,\nand power on it to enable the new firmware!",
                        MessageIcon::Exclamation};

Box Failure(const std::string& text) {
  return {"Message", text, MessageIcon::None};
}

std::vector<std::string> Only(const std::vector<std::string>& events, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& e : events)
    if (e.rfind(prefix, 0) == 0) out.push_back(e);
  return out;
}

// After any upgrade, good or bad, the bracket is closed and the image stays.
void ExpectEnded(const FirmwareRig& rig, std::size_t imageSize) {
  EXPECT_FALSE(rig.flags.firmwareBusy);
  EXPECT_EQ(rig.devices.UpgradeSlot, kNoSlot);
  EXPECT_EQ(rig.state.FirmwareLength(), imageSize);
  EXPECT_EQ(rig.bus.OpenHandleCount(), 0u);
  ASSERT_FALSE(rig.progress.events.empty());
  EXPECT_EQ(rig.progress.events.back(), "finished");
}

TEST(Upgrade, ExactImageIsErasedProgrammedAndVerified) {
  FirmwareRig rig;
  const auto image = Pattern(kFlashSize);
  rig.state.ReplaceImage(image);
  rig.enclosure->SetFlash(0, std::vector<uint8_t>(kFlashSize, 0x00));  // erase must come first
  const UpgradeOutcome outcome = rig.Upgrade(EnclosureSlot{0});
  EXPECT_TRUE(outcome.verified);
  EXPECT_EQ(outcome.stage, 4);
  EXPECT_EQ(outcome.message, "SPI Verify OK");

  EXPECT_EQ(
      rig.panels.TextsOf(StatusPanels::kMessagePanel),
      (std::vector<std::string>{"SPI test OK", "SPI Erase OK", "SPI Program OK", "SPI Verify OK"}));
  EXPECT_EQ(rig.progress.events,
            (std::vector<std::string>{"started 1005", "stage 1", "steps 0", "stage 2", "steps 15",
                                      "stage 3", "steps 495", "stage 4", "steps 975", "finished"}));
  EXPECT_EQ(rig.state.UpgradeProgress, 975u);
  EXPECT_EQ(rig.messages.boxes(), std::vector<Box>{kCompletedBox});
  EXPECT_EQ(rig.Flash(0, kFlashSize), image);
  ExpectEnded(rig, kFlashSize);
}

TEST(Upgrade, OnlyTheFirst61440BytesOfALongerImageAreWrittenAndCompared) {
  FirmwareRig rig;
  rig.state.ReplaceImage(Pattern(0x10000));
  rig.Upgrade(EnclosureSlot{0});
  EXPECT_EQ(rig.messages.boxes(), std::vector<Box>{kCompletedBox});
  EXPECT_EQ(rig.Flash(0, kFlashSize), Pattern(kFlashSize));
  EXPECT_EQ(rig.Flash(kFlashSize, 4096), std::vector<uint8_t>(4096, 0xFF));
  std::size_t writes = 0;
  for (const auto& [c0, page] : rig.SpiCommands()) writes += c0 == 0x25;
  EXPECT_EQ(writes, 480u);
  ExpectEnded(rig, 0x10000);
}

TEST(Upgrade, FailuresEndWithThePanelTextInTheBox) {
  struct Case {
    const char* name;
    std::function<void(FirmwareRig&)> arrange;
    std::vector<std::string> lastTexts;  // the message panel's last texts
    int stage;                           // where it stopped: 2 erase, 3 program, 4 verify
  } cases[] = {
      {"one flipped bit on read-back",
       [](FirmwareRig& rig) {
         rig.enclosure->UpdateFaults([](sim::ControllerFaults& f) {
           f.flippedBit = sim::FlippedBit{0x7654, 0x08};
         });
       },
       {"SPI Program OK", "SPI Verify fail !!!"},
       4},
      {"nine failed reads at 0x0080",
       [](FirmwareRig& rig) {
         rig.enclosure->AddCommandFault(sim::CommandFault::SpiReadAt(0x80, 9, 0x42));
       },
       {"ReadSPI fail 8 times, Address = 0080", "ReadSPI fail 9 times, Address = 0080",
        "ReadSPI fail, Address = 0080"},
       4},
      {"an erase that never succeeds",
       [](FirmwareRig& rig) {
         rig.enclosure->AddCommandFault({0x23, 0x20, 9, 0x42});
       },
       {"EraseSPI fail, Address = 1000", "SPI Erase Fail."},
       2},
      {"a page write that never succeeds",
       [](FirmwareRig& rig) {
         rig.enclosure->AddCommandFault({0x25, 0x1DF, 9, 0x42});
       },
       {"WriteSPI fail9 times, Address = EF80", "WriteSPI fail, Address = EF80",
        "SPI Program Fail."},
       3},
  };
  for (const auto& c : cases) {
    FirmwareRig rig;
    rig.state.ReplaceImage(Pattern(kFlashSize));
    c.arrange(rig);
    const UpgradeOutcome outcome = rig.Upgrade(EnclosureSlot{0});
    EXPECT_EQ(outcome.stage, c.stage) << c.name;
    EXPECT_FALSE(outcome.verified) << c.name;
    EXPECT_EQ(outcome.message, c.lastTexts.back()) << c.name;
    const auto texts = rig.panels.TextsOf(StatusPanels::kMessagePanel);
    ASSERT_GE(texts.size(), c.lastTexts.size()) << c.name;
    EXPECT_EQ(std::vector<std::string>(
                  texts.end() - static_cast<std::ptrdiff_t>(c.lastTexts.size()), texts.end()),
              c.lastTexts)
        << c.name;
    EXPECT_EQ(rig.messages.boxes(), std::vector<Box>{Failure(c.lastTexts.back())}) << c.name;
    ExpectEnded(rig, kFlashSize);
  }
}

// The machine is kept awake from before the first erase to after the last
// compare, on every way out, and not while the final box waits for the user
// (who is told to power off).
TEST(Upgrade, TheMachineIsKeptAwakeFromTheEraseToTheEndOfTheVerify) {
  struct Case {
    const char* name;
    std::size_t imageSize;
    std::function<void(FirmwareRig&)> arrange;
    std::vector<std::string> events;
  } cases[] = {
      {"completed",
       kFlashSize,
       [](FirmwareRig&) {},
       {"acquire Firmware upgrade in progress at 0 SPI commands, 0 boxes",
        "release at 975 SPI commands, 0 boxes"}},
      {"erase of the second block fails",
       kFlashSize,
       [](FirmwareRig& rig) {
         rig.enclosure->AddCommandFault({0x23, 0x20, 9, 0x42});
       },
       {"acquire Firmware upgrade in progress at 0 SPI commands, 0 boxes",
        "release at 10 SPI commands, 0 boxes"}},
      {"a bit flipped on read-back",
       kFlashSize,
       [](FirmwareRig& rig) {
         rig.enclosure->UpdateFaults([](sim::ControllerFaults& f) {
           f.flippedBit = sim::FlippedBit{0xEF80, 0x01};
         });
       },
       {"acquire Firmware upgrade in progress at 0 SPI commands, 0 boxes",
        "release at 975 SPI commands, 0 boxes"}},
      {"device removed while programming",
       kFlashSize,
       [](FirmwareRig& rig) {
         rig.onPump = [&rig] {
           if (rig.SpiCommands().size() == 15 + 40) rig.bus.Detach(FirmwareRig::kDrive);
         };
       },
       {"acquire Firmware upgrade in progress at 0 SPI commands, 0 boxes",
        "release at 55 SPI commands, 0 boxes"}},
      {"image too short: nothing to keep awake for", kFlashSize - 1, [](FirmwareRig&) {}, {}},
  };
  for (const auto& c : cases) {
    FirmwareRig rig;
    rig.state.ReplaceImage(Pattern(c.imageSize));
    c.arrange(rig);
    rig.sleepInhibitor.moment = [&rig] {
      return " at " + std::to_string(rig.SpiCommands().size()) + " SPI commands, " +
             std::to_string(rig.messages.boxes().size()) + " boxes";
    };
    rig.Upgrade(EnclosureSlot{0});
    EXPECT_EQ(rig.sleepInhibitor.events, c.events) << c.name;
    EXPECT_EQ(rig.messages.boxes().size(), 1u) << c.name;
  }
}

TEST(Upgrade, NoValidSlotTouchesNoDevice) {
  struct Case {
    const char* name;
    int chooser;
  } cases[] = {
      {"no slot at all", static_cast<int>(kNoSlot)},
      {"chooser past the devices", 2},
      {"negative chooser", -1},
  };
  for (const auto& c : cases) {
    FirmwareRig rig;
    rig.devices.DeviceSlot[1] = kEntryEnclosure | 5;
    rig.bus.AttachEnclosure(5);
    rig.devices.DeviceCount = 2;
    rig.state.ReplaceImage(Pattern(kFlashSize));
    // As the window's chooser position would become a slot.
    rig.Upgrade(EnclosureSlot{static_cast<std::size_t>(c.chooser)});
    EXPECT_EQ(rig.panels.TextsOf(StatusPanels::kMessagePanel),
              (std::vector<std::string>{"SPI test OK", "No Upgrade Mode!!!", "SPI Erase Fail."}))
        << c.name;
    EXPECT_EQ(rig.messages.boxes(),
              (std::vector<Box>{{"Message", "No Upgrade Mode !", MessageIcon::None},
                                Failure("SPI Erase Fail.")}))
        << c.name;
    EXPECT_TRUE(rig.bus.Trace().empty()) << c.name;
    ExpectEnded(rig, kFlashSize);
  }
}

TEST(Upgrade, DeviceRemovedWhileProgrammingFailsCleanly) {
  FirmwareRig rig;
  rig.state.ReplaceImage(Pattern(kFlashSize));
  // Gone after the controller took the knock of page 39, before its reply.
  rig.onPump = [&] {
    if (rig.SpiCommands().size() == 15 + 40) rig.bus.Detach(FirmwareRig::kDrive);
  };
  rig.Upgrade(EnclosureSlot{0});
  const auto texts = rig.panels.TextsOf(StatusPanels::kMessagePanel);
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[texts.size() - 2], "WriteSPI fail, Address = 1380");
  EXPECT_EQ(texts.back(), "SPI Program Fail.");
  EXPECT_EQ(rig.messages.boxes(), std::vector<Box>{Failure("SPI Program Fail.")});
  ExpectEnded(rig, kFlashSize);
}

TEST(Upgrade, AShortImageIsRefusedBeforeAnythingIsErased) {
  FirmwareRig rig;
  rig.state.ReplaceImage(Pattern(kFlashSize - 1));
  rig.enclosure->SetFlash(0, Pattern(kFlashSize, 3));
  rig.Upgrade(EnclosureSlot{0});
  const std::string text = "SPI test Fail. The firmware image has 61439 bytes, 61440 needed.";
  EXPECT_EQ(rig.panels.TextsOf(StatusPanels::kMessagePanel), std::vector<std::string>{text});
  EXPECT_EQ(rig.messages.boxes(), std::vector<Box>{Failure(text)});
  EXPECT_TRUE(rig.bus.Trace().empty());
  EXPECT_EQ(rig.Flash(0, kFlashSize), Pattern(kFlashSize, 3));
  ExpectEnded(rig, kFlashSize - 1);
}

// An enclosure another program holds is turned away before anything is
// erased, and for good: a hold that is let go just after the upgrade gave up
// waiting for it does not let the erase go on after all.
TEST(Upgrade, AnEnclosureAnotherProgramHoldsIsRefusedBeforeAnythingIsErased) {
  struct Case {
    const char* name;
    ClaimPurpose purpose;  // of the other program's claim
    bool letGoOnceRefused;
    std::string text;
  } cases[] = {
      {"held for commands", ClaimPurpose::Commands, false,
       "SPI test Fail. Drive 2 is busy: another program is using it."},
      {"held for firmware", ClaimPurpose::Firmware, false,
       "SPI test Fail. Drive 2 is busy: another program is upgrading its firmware."},
      {"let go once the wait is over", ClaimPurpose::Commands, true,
       "SPI test Fail. Drive 2 is busy: another program is using it."},
  };
  for (const auto& c : cases) {
    FirmwareRig rig;
    rig.state.ReplaceImage(Pattern(kFlashSize));
    rig.enclosure->SetFlash(0, Pattern(kFlashSize, 3));
    ClaimToken other = rig.bus.TryClaimDrive(PhysicalDrive(FirmwareRig::kDrive), c.purpose);
    ASSERT_NE(other, kClaimRefused) << c.name;
    rig.onPump = [&] {
      if (c.letGoOnceRefused && other != kClaimRefused && rig.clock.TickMs() >= kDriveWaitMs) {
        rig.bus.ReleaseDrive(std::exchange(other, kClaimRefused));
      }
    };
    rig.Upgrade(EnclosureSlot{0});
    EXPECT_EQ(rig.panels.TextsOf(StatusPanels::kMessagePanel), std::vector<std::string>{c.text})
        << c.name;
    EXPECT_EQ(rig.messages.boxes(), std::vector<Box>{Failure(c.text)}) << c.name;
    EXPECT_TRUE(rig.bus.Trace().empty()) << c.name;
    EXPECT_EQ(rig.Flash(0, kFlashSize), Pattern(kFlashSize, 3)) << c.name;
    EXPECT_TRUE(rig.sleepInhibitor.events.empty()) << c.name;
    ExpectEnded(rig, kFlashSize);
    if (other != kClaimRefused) rig.bus.ReleaseDrive(other);
  }
}

// Another program that asks for the enclosure while it is being upgraded is
// told why it has to wait, at every stage.
TEST(Upgrade, AnotherProgramIsToldTheFirmwareIsBeingUpgraded) {
  struct Case {
    const char* name;
    std::size_t atCommand;  // the controller's commands carried by then
  } cases[] = {{"erasing", 5}, {"programming", 15 + 100}, {"verifying", 15 + 480 + 100}};
  for (const auto& c : cases) {
    FirmwareRig rig;
    rig.state.ReplaceImage(Pattern(kFlashSize));
    // Another program on the same machine: its own channel, the same disks.
    sim::FakeClock otherClock;
    test::RecordingPanels otherPanels;
    DeviceAccess otherAccess{rig.bus, otherPanels};
    AppFlags otherFlags;
    CommandChannel other{otherAccess, otherClock, nullptr, otherFlags};
    std::optional<std::string> otherCode;
    std::string otherText;
    rig.onPump = [&] {
      if (otherCode || rig.enclosure->CommandCount() != c.atCommand) return;
      std::array<uint8_t, kSectorSize> reply{};
      otherCode = Outcome(other.QueryController(PhysicalDrive(FirmwareRig::kDrive), 0x17, reply));
      otherText = other.DriveBusyText(PhysicalDrive(FirmwareRig::kDrive));
    };
    rig.Upgrade(EnclosureSlot{0});
    EXPECT_EQ(otherCode, "DriveBusy") << c.name;
    EXPECT_EQ(otherText, "Drive 2 is busy: another program is upgrading its firmware.") << c.name;
    EXPECT_EQ(rig.messages.boxes(), std::vector<Box>{kCompletedBox}) << c.name;
  }
}

TEST(Upgrade, StartWithoutImageOrWhileBusy) {
  FirmwareRig rig;
  rig.Upgrade(EnclosureSlot{0});
  EXPECT_EQ(rig.messages.boxes(), std::vector<Box>{Failure("Please Load Firmware File First ")});
  EXPECT_FALSE(rig.flags.firmwareBusy);
  EXPECT_EQ(rig.devices.UpgradeSlot, kNoSlot);
  EXPECT_TRUE(rig.progress.events.empty());

  FirmwareRig busy;
  busy.state.ReplaceImage(Pattern(kFlashSize));
  busy.flags.firmwareBusy = true;
  busy.Upgrade(EnclosureSlot{0});
  EXPECT_TRUE(busy.flags.firmwareBusy) << "someone else's bracket must stay";
  EXPECT_EQ(busy.devices.UpgradeSlot, 0u);
  EXPECT_TRUE(busy.messages.boxes().empty());
  EXPECT_TRUE(busy.panels.entries().empty());
  EXPECT_TRUE(busy.progress.events.empty());
  EXPECT_TRUE(busy.bus.Trace().empty());
}

// The button stays clickable while the upgrade pumps messages.
TEST(Upgrade, PressingStartUpgradeDuringAnUpgradeDoesNothing) {
  FirmwareRig rig;
  rig.state.ReplaceImage(Pattern(kFlashSize));
  int presses = 0;
  rig.onPump = [&] {
    if (presses < 3 && rig.SpiCommands().size() == 100) {
      ++presses;
      rig.Upgrade(EnclosureSlot{0});
      rig.work.LoadImage(EnclosureSlot{0}, [] {
        ADD_FAILURE() << "no file dialog during an upgrade";
        return std::optional<std::filesystem::path>();
      });
    }
  };
  rig.Upgrade(EnclosureSlot{0});
  EXPECT_EQ(presses, 3);
  EXPECT_EQ(rig.messages.boxes(), std::vector<Box>{kCompletedBox});
  EXPECT_EQ(Only(rig.progress.events, "started"), std::vector<std::string>{"started 1005"});
  EXPECT_EQ(rig.Flash(0, kFlashSize), Pattern(kFlashSize));
  ExpectEnded(rig, kFlashSize);
}

}  // namespace
}  // namespace px
